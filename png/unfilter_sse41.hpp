// Paeth reconstruction with SSSE3's absolute value and SSE4.1's byte blend,
// which shorten the chain from one pixel to the next by a third, and Sub's
// running sums with SSSE3's byte shuffle. Chosen at run time, since the x86-64
// baseline has neither.
#pragma once

#include <cstddef>
#include <cstdint>

#include "png/simd.hpp"

namespace vextaro::png::sse41 {

bool available();
// As sse2::sub: `row` holds `n` bytes, n a multiple of bpp (3 or 4).
void sub(uint8_t* row, size_t n, int bpp);
// As sse2::paeth: `row` and `up` hold `n` bytes, n a multiple of bpp (3 or 4).
void paeth(uint8_t* row, const uint8_t* up, size_t n, int bpp);
inline constexpr size_t kMaxRowGroup = 4;
// `count` (2 or 4) consecutive Paeth rows of `n` bytes each, rows[0] below `up`,
// each of the others below the one before it.
void paeth_rows(uint8_t* const* rows, size_t count, const uint8_t* up, size_t n, int bpp);

}  // namespace vextaro::png::sse41
