// Buffer sizes of a raster, computed without overflow. Plain C++: no Python here.
// Inline, since pixel access runs them once per call.
#pragma once

#include "core/layer.hpp"

#include <cstdint>
#include <optional>

namespace vextaro {

// width * height * channels, or nullopt when it does not fit in a signed 64-bit
// integer. Negative dimensions are not refused: only the product decides.
inline std::optional<int64_t> raster_length(int32_t width, int32_t height, int channels) {
    int64_t length;
    // |width * height| <= 2^62, so only the multiplication by channels can overflow.
    if (__builtin_mul_overflow(static_cast<int64_t>(width) * height, static_cast<int64_t>(channels), &length))
        return std::nullopt;
    return length;
}

inline bool in_bounds(int64_t x, int64_t y, int32_t width, int32_t height) {
    return 0 <= x && x < width && 0 <= y && y < height;
}

// (y * width + x) * channels, or nullopt when it does not fit in a signed 64-bit
// integer (possible only for dimensions that no buffer can match).
inline std::optional<int64_t> pixel_offset(int64_t x, int64_t y, int32_t width, int channels) {
    int64_t offset;
    if (__builtin_mul_overflow(y, static_cast<int64_t>(width), &offset) || __builtin_add_overflow(offset, x, &offset) ||
        __builtin_mul_overflow(offset, static_cast<int64_t>(channels), &offset))
        return std::nullopt;
    return offset;
}

}  // namespace vextaro
