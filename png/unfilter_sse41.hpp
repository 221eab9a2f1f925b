// Paeth reconstruction with SSSE3's absolute value and SSE4.1's byte blend,
// which shorten the chain from one pixel to the next by a third. Chosen at run
// time, since the x86-64 baseline has neither.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vextaro::png::sse41 {

bool available();
// As sse2::paeth: `row` and `up` hold `n` bytes, n a multiple of bpp (3 or 4).
void paeth(uint8_t* row, const uint8_t* up, size_t n, int bpp);
// Two consecutive Paeth rows: `row` (below `up`), then `next` (below `row`).
void paeth_two_rows(uint8_t* row, uint8_t* next, const uint8_t* up, size_t n, int bpp);

}  // namespace vextaro::png::sse41
