// Between interleaved PNG pixels (RGB or RGBA) and the separate RGB and alpha planes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vextaro::png {

// Copies `width` pixels of `bpp` bytes (3 or 4) from `row` into `rgb`, and for
// bpp 4 their alpha into `alpha`. `rgb` may overlap `row` if it does not start
// after it: the bytes are moved front to back.
void split_pixels(const uint8_t* row, size_t width, int bpp, uint8_t* rgb, uint8_t* alpha);

// The inverse: `width` pixels of `rgb` (and, for bpp 4, `alpha`) interleaved into `row`.
void join_pixels(const uint8_t* rgb, const uint8_t* alpha, size_t width, int bpp, uint8_t* row);

}  // namespace vextaro::png
