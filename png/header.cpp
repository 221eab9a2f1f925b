#include "png/header.hpp"

#include "png/frame.hpp"

namespace vextaro::png {

std::optional<Header> parse_ihdr(std::span<const uint8_t> body) {
    if (body.size() != kIhdrSize) return std::nullopt;
    const uint32_t width = big_endian32(body.data()), height = big_endian32(body.data() + 4);
    if (width > INT32_MAX || height > INT32_MAX) return std::nullopt;
    return Header{int32_t(width), int32_t(height), body[8], body[9], body[10], body[11], body[12]};
}

std::optional<Error> header_refusal(const Header& h) {
    if (h.width == -1 || h.height == -1 || h.bit_depth == -1 || h.colour_type == -1 || h.compression == -1 ||
        h.filter == -1 || h.interlace == -1)
        return Error::IncompleteHeader;
    if (h.bit_depth != 8) return Error::BitDepth;
    if (h.colour_type != 2 && h.colour_type != 6) return Error::ColourType;
    if (h.compression != 0 || h.filter != 0 || h.interlace != 0) return Error::Configuration;
    return std::nullopt;
}

std::optional<uint64_t> scanline_bytes(const Header& h, uint64_t max_size) {
    if (h.width < 0 || h.height < 0) return std::nullopt;
    const uint64_t line = uint64_t(h.width) * channels_of(h) + 1;
    uint64_t total;
    if (__builtin_mul_overflow(line, uint64_t(h.height), &total) || total > max_size) return std::nullopt;
    return total;
}

}  // namespace vextaro::png
