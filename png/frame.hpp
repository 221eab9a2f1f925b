// The chunk frame of a PNG file (length, type, data, CRC) as the decoder reads
// it, field by field, from memory or from a stream. Plain C++.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <variant>

#include "png/crc.hpp"
#include "png/errors.hpp"

namespace vextaro::png {

enum class Field : uint8_t { Length, Type, Data, Crc };

struct Frame {
    uint32_t length = 0;
    std::span<const uint8_t> type, data;
    uint32_t stored_crc = 0;
};

// No chunk: the data ended where the next one would have started.
struct End {};
// The reader could not read (its host has the error).
struct ReadFailed {};

using FrameOutcome = std::variant<Frame, End, ReadFailed, Error>;

constexpr uint32_t big_endian32(const uint8_t* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

// Reads one frame through `read(field, n)`, which returns the bytes it got for
// that field (fewer than n only where the data ends; a stream may even hand back
// more), or nothing when reading failed. The spans must stay valid for as long
// as the frame is used. The CRC is not checked here: see crc_matches.
template <typename Read>
FrameOutcome read_frame(Read&& read) {
    const std::optional<std::span<const uint8_t>> length = read(Field::Length, 4);
    if (!length) return ReadFailed{};
    if (length->empty()) return End{};
    if (length->size() != 4) return Error::EofLength;
    Frame f;
    f.length = big_endian32(length->data());
    const auto type = read(Field::Type, 4);
    if (!type) return ReadFailed{};
    if (type->size() < 4) return Error::EofType;
    f.type = *type;
    const auto data = read(Field::Data, f.length);
    if (!data) return ReadFailed{};
    if (data->size() != f.length) return Error::EofData;
    f.data = *data;
    const auto crc = read(Field::Crc, 4);
    if (!crc) return ReadFailed{};
    if (crc->size() < 4) return Error::EofCrc;
    f.stored_crc = big_endian32(crc->data());
    return f;
}

// Whether the stored CRC is the one of the type and data.
inline bool crc_matches(const Frame& f) { return chunk_crc(f.type, f.data) == f.stored_crc; }

}  // namespace vextaro::png
