// Row groups (png/row_group.hpp) with AVX2: eight rows to a register, a byte
// lane to each pixel byte, twice SSE4.1's four, so each trip through the
// predictor serves twice the rows. Chosen at run time, since the x86-64
// baseline lacks AVX2.
#pragma once

#include <cstddef>
#include <cstdint>

#include "simd/level.hpp"

namespace vextaro::png::avx2 {

// A GroupKernel (png/row_kernels.hpp) of eight or sixteen rows, for Bpp 3 and 4.
inline constexpr size_t kRowsPerRegister = 8, kMaxRowGroup = 16;
template <int Bpp>
void rows(uint8_t* const* rows, const uint8_t* filters, size_t count, const uint8_t* up, size_t n);

// The groups' predictors on 32 bytes at a time, for the tests: Paeth's and
// Average's prediction of each byte from its neighbours a (left), b (up) and
// c (upper left).
void predict32(const uint8_t* a, const uint8_t* b, const uint8_t* c, uint8_t* paeth, uint8_t* average);

}  // namespace vextaro::png::avx2
