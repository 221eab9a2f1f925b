// The RGBA split and join with SSSE3's byte shuffle: four pixels a step, which the
// byte loops took a sixth of the reconstruction's time for, and a tenth of a save's
// own work. Chosen at run time, since
// the x86-64 baseline lacks SSSE3.
#pragma once

#include <cstddef>
#include <cstdint>

#include "simd/level.hpp"

namespace vextaro::png::ssse3 {

// As split_pixels for bpp 4, with the same rule for `rgb` overlapping `row`.
void split_rgba(const uint8_t* row, size_t width, uint8_t* rgb, uint8_t* alpha);
// As join_pixels for bpp 4.
void join_rgba(const uint8_t* rgb, const uint8_t* alpha, size_t width, uint8_t* row);

}  // namespace vextaro::png::ssse3
