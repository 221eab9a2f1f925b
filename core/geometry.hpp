// Buffer sizes of a raster, computed without overflow. Plain C++: no Python here.
#pragma once

#include <cstdint>
#include <optional>

namespace vextaro {

// width * height * channels, or nullopt when it does not fit in a signed 64-bit
// integer. Negative dimensions are not refused: only the product decides.
std::optional<int64_t> raster_length(int32_t width, int32_t height, int channels);

inline bool in_bounds(int64_t x, int64_t y, int32_t width, int32_t height) {
    return 0 <= x && x < width && 0 <= y && y < height;
}

// (y * width + x) * channels, or nullopt when it does not fit in a signed 64-bit
// integer (possible only for dimensions that no buffer can match).
std::optional<int64_t> pixel_offset(int64_t x, int64_t y, int32_t width, int channels);

}  // namespace vextaro
