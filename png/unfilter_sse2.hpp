// SSE2 reconstruction of the filters whose bytes depend on the pixel to the left
// (Sub, Average, Paeth). The dependency runs from pixel to pixel, so the vector
// holds one pixel's channels, not many pixels: the gain is in doing the Paeth
// choice for all channels at once, without branches.
#pragma once

#include <cstddef>
#include <cstdint>

#include "png/simd.hpp"

namespace vextaro::png::sse2 {

#if VEXTARO_SSE2
inline constexpr bool kAvailable = true;
#else
inline constexpr bool kAvailable = false;
#endif

// `row` and `up` hold `n` bytes, n a multiple of bpp (3 or 4).
void sub(uint8_t* row, size_t n, int bpp);
void average(uint8_t* row, const uint8_t* up, size_t n, int bpp);
void paeth(uint8_t* row, const uint8_t* up, size_t n, int bpp);

}  // namespace vextaro::png::sse2
