// The decode pipeline (bmp/decode.hpp) over a whole file in memory, into plain
// buffers, for the fuzz target and the tests: the module's decisions, with none
// of Python's. The file can be read as the module reads bytes, or row by row as
// it reads a stream. Not part of the module.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "bmp/decode.hpp"

namespace vextaro::bmp {

struct MemoryDecode {
    // Where the decode stopped; None: it decoded. Unpack: the module's struct
    // refused the info header, which the file cut short. NoRoom: the row sink
    // was asked for more than the image holds.
    enum class Stop : uint8_t { None, Refused, Unpack, NoRoom } stop = Stop::None;
    Error refusal{};
    InfoHeader header;  // as unpacked, once the info header was
    uint32_t pixel_offset = 0;
    Plan plan;
    std::vector<uint8_t> pixels;  // the image's RGB bytes, rows top first
};

class MemoryHost {
public:
    // Plain memory as the row sink's storage, where the module uses a bytearray.
    class Storage {
    public:
        uint64_t size() const { return bytes.size(); }
        uint8_t* data() { return bytes.data(); }
        bool grow(uint64_t to, uint64_t keep_from, uint64_t keep, uint64_t keep_to) {
            std::vector<uint8_t> bigger(static_cast<size_t>(to));
            if (keep > 0) std::memcpy(bigger.data() + keep_to, bytes.data() + keep_from, static_cast<size_t>(keep));
            bytes = std::move(bigger);
            return true;
        }
        std::vector<uint8_t> bytes;
    };

    MemoryHost(std::span<const uint8_t> file, bool stream, MemoryDecode& out)
        : file_(file), stream_(stream), out_(out) {}

    std::optional<std::span<const uint8_t>> read(uint64_t n) { return take(n); }
    std::span<const uint8_t> view(std::span<const uint8_t> bytes) const { return bytes; }
    bool file_fields(std::span<const uint8_t> fields) {
        out_.pixel_offset = little_endian32(fields.data() + (at::kPixelOffset - 2));
        return true;
    }
    std::optional<int64_t> info_size(std::span<const uint8_t> field) const { return little_endian32(field.data()); }
    bool info_fields(std::span<const uint8_t> info, InfoHeader& h) {
        // struct.error: the info header is cut short.
        if (info.size() != kInfoHeaderSize - 4) return out_.stop = MemoryDecode::Stop::Unpack, false;
        // Read whole and in order, so the file holds both headers.
        return h = out_.header = parse_info(file_.data()), true;
    }
    bool refuse(Error e) { return out_.stop = MemoryDecode::Stop::Refused, out_.refusal = e, false; }
    // Seeking past the end is allowed; reads there return nothing.
    bool seek_pixels() { return at_ = std::min<uint64_t>(out_.pixel_offset, file_.size()), true; }

    bool in_memory() const { return !stream_; }
    uint64_t remaining() const { return file_.size() - at_; }
    std::span<const uint8_t> take(uint64_t n) {
        const auto count = static_cast<size_t>(std::min(n, remaining()));
        at_ += count;
        return file_.subspan(static_cast<size_t>(at_) - count, count);
    }
    bool make_pixels(uint64_t total) { return out_.pixels.assign(static_cast<size_t>(total), 0), true; }
    std::span<uint8_t> pixels() { return out_.pixels; }
    Storage& row_storage() { return storage_; }
    bool no_room() { return out_.stop = MemoryDecode::Stop::NoRoom, false; }
    template <typename Work>
    auto unlocked(Work&& work) {
        return work();
    }

    std::vector<uint8_t> take_storage() { return std::move(storage_.bytes); }

private:
    std::span<const uint8_t> file_;
    bool stream_;
    MemoryDecode& out_;
    uint64_t at_ = 0;
    Storage storage_;
};

// Decodes `file` as the module decodes bytes, or, with `stream`, as it decodes a
// stream over them.
inline MemoryDecode decode_memory(std::span<const uint8_t> file, bool stream) {
    MemoryDecode out;
    MemoryHost host(file, stream, out);
    if (decode(host, out.plan) && stream) out.pixels = host.take_storage();
    return out;
}

}  // namespace vextaro::bmp
