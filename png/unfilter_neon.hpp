// Row groups (png/row_group.hpp) with NEON on 64-bit ARM: four rows to a
// register, a byte lane to each pixel byte, as SSE4.1's groups hold them.
// NEON is part of every 64-bit ARM CPU, so nothing is chosen at run time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "simd/level.hpp"

namespace vextaro::png::neon {

inline constexpr bool kAvailable = VEXTARO_NEON;

// A GroupKernel (png/row_kernels.hpp) of four or eight rows, for Bpp 3 and 4.
inline constexpr size_t kRowsPerRegister = 4, kMaxRowGroup = 8;
template <int Bpp>
void rows(uint8_t* const* rows, const uint8_t* filters, size_t count, const uint8_t* up, size_t n);

}  // namespace vextaro::png::neon
