// The BGR/RGB swap with SSSE3's byte shuffle: five pixels per instruction,
// as fast as copying. Chosen at run time, since the baseline lacks SSSE3.
#pragma once

#include <cstddef>
#include <cstdint>

#include "simd/level.hpp"

namespace vextaro::bmp::ssse3 {

// As bgr_to_rgb; `in` and `out` may be the same buffer.
void swap_red_blue(const uint8_t* in, size_t width, uint8_t* out);

}  // namespace vextaro::bmp::ssse3
