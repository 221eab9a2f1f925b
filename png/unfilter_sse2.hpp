// SSE2 reconstruction of the filters whose bytes depend on the pixel to the left
// (Sub, Average, Paeth). The dependency runs from pixel to pixel, so the vector
// holds one pixel's channels, not many pixels: the gain is in doing the Paeth
// choice for all channels at once, without branches; and row groups
// (png/row_group.hpp) of two or four rows, two to a register, for CPUs without
// SSE4.1.
#pragma once

#include <cstddef>
#include <cstdint>

#include "simd/level.hpp"

namespace vextaro::png::sse2 {

inline constexpr bool kAvailable = VEXTARO_SSE2;

// RowKernels (png/row_kernels.hpp) for Bpp 3 and 4.
template <int Bpp>
void sub(uint8_t* row, const uint8_t* up, size_t n);
template <int Bpp>
void average(uint8_t* row, const uint8_t* up, size_t n);
template <int Bpp>
void paeth(uint8_t* row, const uint8_t* up, size_t n);
// A GroupKernel (png/row_kernels.hpp).
inline constexpr size_t kRowsPerRegister = 2, kMaxRowGroup = 4;
template <int Bpp>
void rows(uint8_t* const* rows, const uint8_t* filters, size_t count, const uint8_t* up, size_t n);

}  // namespace vextaro::png::sse2
