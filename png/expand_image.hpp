// An expanded image from its inflated scanlines: each row reconstructed, then
// expanded straight into its place in the RGB and alpha planes (Adam7's passes
// included), and a filter type chosen for every row of the result. Plain C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "png/expanded_format.hpp"
#include "png/header.hpp"

namespace vextaro::png {

struct ExpandStop {
    enum class Kind : uint8_t { BadFilter, PaletteIndex, NoMemory } kind;
    uint8_t filter = 0;  // BadFilter: the type found
};

// `lines` holds exactly expanded_scanline_bytes(h) bytes, reconstructed in
// place; `rgb` receives width * height * 3 bytes, `alpha` (null without alpha)
// width * height, `filters` height. Stops at the first fault.
std::optional<ExpandStop> expand_image(std::span<uint8_t> lines, const Header& h, const ColourChunks& c, uint8_t* rgb,
                                       uint8_t* alpha, uint8_t* filters);

}  // namespace vextaro::png
