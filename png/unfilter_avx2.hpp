// Paeth row groups with AVX2: four rows to a register where SSE4.1 fits two,
// so each trip through the predictor serves twice the rows. Chosen at run
// time, since the x86-64 baseline lacks AVX2.
#pragma once

#include <cstddef>
#include <cstdint>

#include "png/simd.hpp"

namespace vextaro::png::avx2 {

bool available();
inline constexpr size_t kMaxRowGroup = 8;
// `count` (4 or 8) consecutive Paeth rows of `n` bytes each, rows[0] below `up`,
// each of the others below the one before it, as sse41::paeth_rows.
void paeth_rows(uint8_t* const* rows, size_t count, const uint8_t* up, size_t n, int bpp);

}  // namespace vextaro::png::avx2
