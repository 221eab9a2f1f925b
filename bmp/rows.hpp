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

// The pixel array of a file that holds all of its `rows` rows of `stride` bytes,
// as RGB rows top first; `bottom_up` as the height's sign says.
void read_rows(const uint8_t* stored, uint64_t rows, uint64_t stride, size_t width, bool bottom_up, uint8_t* rgb);

// Rows `first` to `first + count - 1` of the pixel array written for an image of
// `height` RGB rows, top first: the bottom image row is stored first, each row
// as BGR padded with zeros to `row_stride(width)` bytes.
void write_rows(const uint8_t* rgb, size_t width, size_t height, size_t first, size_t count, uint8_t* stored);

}  // namespace vextaro::bmp
