// Reconstruction of PNG scanlines (filter method 0). Plain C++ over byte spans.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace vextaro::png {

inline constexpr uint8_t kFilterTypes = 5;  // None, Sub, Up, Average, Paeth

// Reconstructs one row in place. `previous` is the reconstructed row above, of
// the same length, or empty for the top row (whose row above counts as zeros).
// `filter` must be below kFilterTypes; `bpp` is 3 or 4.
void unfilter_row(uint8_t filter, std::span<uint8_t> row, std::span<const uint8_t> previous, int bpp);

// A scanline whose filter type is not one of the five.
struct BadFilter {
    size_t row;
    uint8_t filter;
};

// Reconstructs `height` scanlines of 1 + width * bpp bytes each, in place, in one
// pass over the rows. Byte y of `filters` receives row y's filter type and
// `alpha` (bpp 4 only) the alpha plane; the RGB bytes end up packed at the start
// of `scanlines`, width * height * 3 of them. Stops at the first unknown filter.
std::optional<BadFilter> reconstruct_image(std::span<uint8_t> scanlines, size_t width, size_t height, int bpp,
                                           uint8_t* filters, uint8_t* alpha);

}  // namespace vextaro::png
