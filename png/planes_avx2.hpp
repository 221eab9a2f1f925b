// The RGBA split eight pixels a step, where the CPU has AVX2: the SSSE3 loop
// took a twentieth of an RGBA open. Chosen at run time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "simd/level.hpp"

namespace vextaro::png::avx2 {

// As split_pixels for bpp 4, with the same rule for `rgb` overlapping `row`.
void split_rgba(const uint8_t* row, size_t width, uint8_t* rgb, uint8_t* alpha);

}  // namespace vextaro::png::avx2
