// The byte layout of a PNG file: its signature, big-endian fields, and the
// chunk frame (length, type, data, CRC) as the decoder reads it, field by
// field, from memory or from a stream, and as the writers frame a chunk. Plain C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
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

inline constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

// The bytes a chunk's frame adds to its data: length, type and CRC.
inline constexpr size_t kFrameBytes = 12;

constexpr uint32_t big_endian32(const uint8_t* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

constexpr void put_big_endian32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// A chunk's frame is a head (its data's length, then its type), the data, and a
// tail (the CRC of type and data). Writers that send the data on its own frame
// it with these two.
inline constexpr size_t kFrameTailBytes = 4;
constexpr size_t frame_head_bytes(std::span<const uint8_t> type) { return 4 + type.size(); }
static_assert(kFrameBytes == 4 + 4 + kFrameTailBytes);

// The head at `out`, in frame_head_bytes(type) bytes (a type is 4 bytes in a
// valid file; what a caller gives is framed as it is).
inline void write_frame_head(uint32_t length, std::span<const uint8_t> type, uint8_t* out) {
    put_big_endian32(out, length);
    if (!type.empty()) std::memcpy(out + 4, type.data(), type.size());
}

inline void write_frame_tail(uint32_t crc, uint8_t* out) { put_big_endian32(out, crc); }

// Frames a chunk at `out`: head, data and tail, with `crc` (chunk_crc of type and
// data, unless its caller knows better), in frame_head_bytes(type) + data.size()
// + kFrameTailBytes bytes. The length must fit the 32-bit field.
inline void write_frame(std::span<const uint8_t> type, std::span<const uint8_t> data, uint32_t crc, uint8_t* out) {
    write_frame_head(static_cast<uint32_t>(data.size()), type, out);
    out += frame_head_bytes(type);
    if (!data.empty()) std::memcpy(out, data.data(), data.size());
    write_frame_tail(crc, out + data.size());
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
