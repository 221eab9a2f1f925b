// The IHDR fields a decoder acts on, and what it accepts. Plain C++.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "png/errors.hpp"

namespace vextaro::png {

// The seven IHDR fields; -1 until an IHDR has been read.
struct Header {
    int32_t width = -1, height = -1, bit_depth = -1, colour_type = -1, compression = -1, filter = -1,
            interlace = -1;
};

// The fields of an IHDR chunk's 13 bytes; nothing when it has another size or
// a dimension beyond 32-bit signed range (which the module refuses in converting
// them).
std::optional<Header> parse_ihdr(std::span<const uint8_t> body);

// The first check the header fails, or nothing when it is one we decode.
std::optional<Error> header_refusal(const Header& h);

// Bytes per pixel of an accepted header.
constexpr int channels_of(const Header& h) { return h.colour_type == 6 ? 4 : 3; }

// height * (width * channels + 1), or nullopt when no buffer could have that length.
std::optional<uint64_t> scanline_bytes(const Header& h, uint64_t max_size);

}  // namespace vextaro::png
