// The encode pipeline (png/encode.hpp) of a decoded image with its chunk list,
// into a whole file in memory, for the fuzz target and the tests: the module's
// decisions, with none of Python's. Not part of the module.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "png/encode.hpp"
#include "png/frame.hpp"
#include "png/memory_decode.hpp"

namespace vextaro::png {

struct MemoryEncode {
    // Where the encode stopped; None: it encoded.
    enum class Stop : uint8_t { None, BadSize, BadFilter, NoMemory } stop = Stop::None;
    std::vector<uint8_t> compressed;  // the new image data
    std::vector<uint8_t> file;        // the signature and every chunk
};

// IHDR's bytes for `h`, as the module's struct packs them.
inline std::vector<uint8_t> pack_ihdr(const Header& h) {
    std::vector<uint8_t> out(kIhdrSize);
    put_big_endian32(out.data(), static_cast<uint32_t>(h.width));
    put_big_endian32(out.data() + 4, static_cast<uint32_t>(h.height));
    const int32_t bytes[] = {h.bit_depth, h.colour_type, h.compression, h.filter, h.interlace};
    for (size_t i = 0; i < 5; ++i) out[8 + i] = static_cast<uint8_t>(bytes[i]);
    return out;
}

class MemoryEncodeHost {
public:
    // `image` decoded, its chunks listed.
    MemoryEncodeHost(const MemoryDecode& image, MemoryEncode& out) : image_(image), out_(out) {}

    // A decoded image's planes have its size.
    bool lengths() const { return true; }
    bool header(const Header& h) {
        ihdr_ = pack_ihdr(h);
        return (h.width >= 0 && h.height >= 0) || stop(MemoryEncode::Stop::BadSize);
    }
    bool pin() const { return true; }
    uint64_t max_size() const { return uint64_t(PTRDIFF_MAX); }
    std::optional<std::span<uint8_t>> scratch(uint64_t size) {
        scratch_.resize(static_cast<size_t>(size));
        // The module's buffers are never null, even when empty.
        scratch_.reserve(1);
        return std::span<uint8_t>(scratch_);
    }
    std::optional<Planes> planes() const {
        return Planes{image_.lines.data(), image_.alpha.empty() ? nullptr : image_.alpha.data(), image_.filters.data()};
    }
    bool bad_filter(uint8_t) { return stop(MemoryEncode::Stop::BadFilter); }
    bool no_memory() { return stop(MemoryEncode::Stop::NoMemory); }
    template <typename Work>
    auto unlocked(Work&& work) {
        return work();
    }
    int own_deflater(std::optional<int>) const { return 1; }
    bool compress_elsewhere(std::span<const uint8_t>, std::optional<int>) const { return false; }
    std::optional<std::span<uint8_t>> room(size_t size) {
        out_.compressed.resize(size);
        return std::span<uint8_t>(out_.compressed);
    }
    bool compressed(size_t size) { return out_.compressed.resize(size), true; }

    bool read_entries() {
        for (const Frame& f : image_.chunks) {
            const Kind kind = is(f, "IDAT") ? Kind::Idat : is(f, "IHDR") ? Kind::Ihdr : Kind::Other;
            if (kind == Kind::Idat) sizes_.push_back(f.length);
            kinds_.push_back(kind);
        }
        return true;
    }
    int own_split() const { return 1; }
    std::span<const uint64_t> idat_sizes() const { return sizes_; }
    uint64_t compressed_size() const { return out_.compressed.size(); }
    bool idat_part(uint64_t at, uint64_t size) {
        frame(idats_, "IDAT", std::span<const uint8_t>(out_.compressed).subspan(at, size));
        return true;
    }
    bool split_elsewhere() const { return false; }
    size_t entry_count() const { return kinds_.size(); }
    Kind kind(size_t i) const { return kinds_[i]; }
    int header_differs(size_t i) const {
        const auto data = image_.chunks[i].data;
        return data.size() != ihdr_.size() || std::memcmp(data.data(), ihdr_.data(), data.size()) != 0;
    }
    bool fresh_header() { return frame(out_.file, "IHDR", ihdr_), true; }
    bool entry(size_t i, bool fresh) {
        const Frame& f = image_.chunks[i];
        const std::span<const uint8_t> data = fresh ? std::span<const uint8_t>(ihdr_) : f.data;
        return frame(out_.file, f.type, data), true;
    }
    bool image_data() { return out_.file.insert(out_.file.end(), idats_.begin(), idats_.end()), true; }

private:
    static bool is(const Frame& f, const char* type) {
        return f.type.size() == 4 && std::memcmp(f.type.data(), type, 4) == 0;
    }
    bool stop(MemoryEncode::Stop why) { return out_.stop = why, false; }
    static void frame(std::vector<uint8_t>& to, std::span<const uint8_t> type, std::span<const uint8_t> data) {
        const size_t at = to.size();
        to.resize(at + frame_head_bytes(type) + data.size() + kFrameTailBytes);
        write_frame(type, data, chunk_crc(type, data), to.data() + at);
    }
    static void frame(std::vector<uint8_t>& to, const char* type, std::span<const uint8_t> data) {
        frame(to, {reinterpret_cast<const uint8_t*>(type), 4}, data);
    }

    const MemoryDecode& image_;
    MemoryEncode& out_;
    std::vector<uint8_t> ihdr_, scratch_, idats_;
    std::vector<uint64_t> sizes_;
    std::vector<Kind> kinds_;
};

// Saves a decoded image as the module saves an image opened from a PNG: its
// chunks kept, the image data compressed at `level` (zlib's default when none)
// and cut along its IDAT sizes.
inline MemoryEncode encode_memory(const MemoryDecode& image, std::optional<int> level) {
    MemoryEncode out;
    out.file.assign(std::begin(kSignature), std::end(kSignature));
    MemoryEncodeHost host(image, out);
    const bool alpha = channels_of(image.header) == 4;
    if (!encode(host, image.header.width, image.header.height, alpha, level)) out.file.clear();
    return out;
}

}  // namespace vextaro::png
