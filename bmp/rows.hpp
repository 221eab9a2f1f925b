// Pixel rows of 24-bit BMP files (blue, green, red) to and from RGB. Plain C++.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vextaro::bmp {

// Bytes in one stored row of `width` pixels: 3 * width rounded up to a multiple of 4.
constexpr uint64_t row_stride(uint32_t width) { return (uint64_t{width} * 3 + 3) / 4 * 4; }

// Converts `width` BGR pixels to RGB; `bgr` and `rgb` may be the same buffer.
void bgr_to_rgb(const uint8_t* bgr, size_t width, uint8_t* rgb);

// Converts `width` RGB pixels to BGR: the same swap, which is its own inverse.
inline void rgb_to_bgr(const uint8_t* rgb, size_t width, uint8_t* bgr) { bgr_to_rgb(rgb, width, bgr); }

}  // namespace vextaro::bmp
