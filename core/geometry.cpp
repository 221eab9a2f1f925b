#include "core/geometry.hpp"

namespace vextaro {

std::optional<int64_t> raster_length(int32_t width, int32_t height, int channels) {
    int64_t length;
    // |width * height| <= 2^62, so only the multiplication by channels can overflow.
    if (__builtin_mul_overflow(static_cast<int64_t>(width) * height, static_cast<int64_t>(channels), &length))
        return std::nullopt;
    return length;
}

std::optional<int64_t> pixel_offset(int64_t x, int64_t y, int32_t width, int channels) {
    int64_t offset;
    if (__builtin_mul_overflow(y, static_cast<int64_t>(width), &offset) ||
        __builtin_add_overflow(offset, x, &offset) ||
        __builtin_mul_overflow(offset, static_cast<int64_t>(channels), &offset))
        return std::nullopt;
    return offset;
}

}  // namespace vextaro
