// Reconstruction of one scanline row whatever its pixel size: the vector
// kernels for 3 and 4 bytes, plain loops for the sizes other colour types and
// depths have (1, 2, 6 and 8 bytes).
#pragma once

#include <cstdint>
#include <span>

namespace vextaro::png {

// As unfilter_row, for `bpp` 1, 2, 3, 4, 6 or 8.
void unfilter_any(uint8_t filter, std::span<uint8_t> row, std::span<const uint8_t> previous, int bpp);

}  // namespace vextaro::png
