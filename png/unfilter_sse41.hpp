// Paeth reconstruction with SSSE3's absolute value and SSE4.1's byte blend,
// which shorten the chain from one pixel to the next by a third, Sub's running
// sums with SSSE3's byte shuffle, and row groups (png/row_group.hpp) of four or
// eight rows, four to a register on byte lanes. Chosen at run time, since the
// x86-64 baseline has neither.
#pragma once

#include <cstddef>
#include <cstdint>

#include "simd/level.hpp"

namespace vextaro::png::sse41 {

// RowKernels and a GroupKernel (png/row_kernels.hpp) for Bpp 3 and 4.
template <int Bpp>
void sub(uint8_t* row, const uint8_t* up, size_t n);
template <int Bpp>
void paeth(uint8_t* row, const uint8_t* up, size_t n);
inline constexpr size_t kRowsPerRegister = 4, kMaxRowGroup = 8;
template <int Bpp>
void rows(uint8_t* const* rows, const uint8_t* filters, size_t count, const uint8_t* up, size_t n);

}  // namespace vextaro::png::sse41
