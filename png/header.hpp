// The IHDR fields a decoder acts on, and what it accepts. Plain C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "png/errors.hpp"

namespace vextaro::png {

// The seven IHDR fields; -1 until an IHDR has been read.
struct Header {
    int32_t width = -1, height = -1, bit_depth = -1, colour_type = -1, compression = -1, filter = -1, interlace = -1;
};

// IHDR's layout as the module's struct packs and unpacks it: width and height,
// then bit depth, colour type, compression, filter and interlace, a byte each.
inline constexpr char kIhdrFormat[] = ">IIBBBBB";
inline constexpr size_t kIhdrFieldSizes[] = {4, 4, 1, 1, 1, 1, 1};
inline constexpr size_t kIhdrSize = 13;

// Whether a struct format (its byte-order mark first) has fields of `sizes`.
template <size_t N>
constexpr bool format_has(const char* format, const size_t (&sizes)[N]) {
    size_t n = 0;
    for (const char* c = format + 1; *c != '\0'; ++c, ++n)
        if (n >= N || sizes[n] != (*c == 'B' ? 1u : *c == 'H' ? 2u : *c == 'I' || *c == 'i' ? 4u : 0u)) return false;
    return n == N;
}
static_assert(format_has(kIhdrFormat, kIhdrFieldSizes) && 4 + 4 + 5 == kIhdrSize);

// The fields of an IHDR chunk's kIhdrSize bytes; nothing when it has another size or
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
