// PNG filtering (filter method 0) for writing, the inverse of unfilter.hpp. Plain C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "png/unfilter.hpp"

namespace vextaro::png {

// Filters `raw` into `out` (same length). `previous` is the raw row above, or
// empty for the top row. `filter` must be below kFilterTypes; `bpp` is 3 or 4.
void filter_row(uint8_t filter, std::span<const uint8_t> raw, std::span<const uint8_t> previous, uint8_t* out, int bpp);

// Scanline data of an image: `height` lines of one filter-type byte and the
// filtered row, into `out` (height * (1 + width * bpp) bytes). `rgb` holds
// width * height * 3 bytes, `alpha` width * height bytes when bpp is 4, and
// `filters` the type of each row, or is null for type 0 throughout. When bpp is
// 4, `rgba_rows` has room for two rows of width * 4 bytes, where the rows are
// assembled. Stops at the first type above 4, with the rows before it written.
std::optional<BadFilter> encode_scanlines(const uint8_t* rgb, const uint8_t* alpha, size_t width, size_t height,
                                          int bpp, const uint8_t* filters, uint8_t* out, uint8_t* rgba_rows);

}  // namespace vextaro::png
