// The decode pipeline (png/decode.hpp) over a whole file in memory, into plain
// buffers, for the fuzz target and the tests: the module's decisions, with
// none of Python's. Not part of the module.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <type_traits>
#include <variant>
#include <vector>

#include "png/decode.hpp"
#include "png/frame.hpp"

namespace vextaro::png {

struct MemoryDecode {
    // Where the decode stopped; None: it decoded.
    enum class Stop : uint8_t { None, Refused, BadIhdr, Zlib, BadFilter, NoMemory } stop = Stop::None;
    Error refusal{};               // Refused: the module's error (framing, CRC, header, length)
    InflateResult zlib{};          // Zlib: what zlib said
    uint8_t bad_filter = 0;        // BadFilter
    bool header_accepted = false;  // inflation was reached
    Header header;
    std::vector<uint32_t> stored_crcs;  // of every frame read, in file order
    std::vector<Frame> chunks;          // every chunk up to IEND, in file order
    std::vector<std::span<const uint8_t>> payloads;
    std::vector<uint8_t> lines, alpha, filters;
};

// `host_zlib(stream)` is the host's zlib.decompress: its output, or nothing when
// it refuses the stream.
template <class HostZlib>
class MemoryHost {
public:
    struct Chunk {
        bool end = false;
        Frame frame;
    };
    class JoinSpace {
    public:
        JoinSpace(MemoryHost&, size_t size) : bytes_(size) {}
        bool failed() const { return false; }
        std::span<uint8_t> bytes() { return bytes_; }

    private:
        std::vector<uint8_t> bytes_;
    };

    MemoryHost(std::span<const uint8_t> file, uint64_t max_size, HostZlib& host_zlib, MemoryDecode& out)
        : file_(file), max_size_(max_size), host_zlib_(host_zlib), out_(out) {}

    std::optional<Chunk> next_chunk() {
        auto read = [&](Field, uint64_t n) -> std::optional<std::span<const uint8_t>> {
            const size_t count = static_cast<size_t>(std::min<uint64_t>(n, file_.size() - at_));
            at_ += count;
            return file_.subspan(at_ - count, count);
        };
        const auto outcome = read_frame(read);
        if (std::holds_alternative<End>(outcome)) return Chunk{true, {}};
        if (const auto* e = std::get_if<Error>(&outcome)) return refuse(*e), std::nullopt;
        const Frame& f = std::get<Frame>(outcome);
        out_.stored_crcs.push_back(f.stored_crc);
        if (!crc_matches(f)) return refuse(Error::CorruptChunk), std::nullopt;
        return Chunk{false, f};
    }
    int is(const Chunk& c, const char* type) const {
        if (*type == '\0' || c.end) return c.end && *type == '\0';
        return c.frame.type.size() == 4 && std::memcmp(c.frame.type.data(), type, 4) == 0;
    }
    bool image_data(const Chunk& c) { return out_.payloads.push_back(c.frame.data), true; }
    bool other_chunk(const Chunk&) { return true; }
    bool header(const Chunk& c, Header& h) {
        const auto parsed = parse_ihdr(c.frame.data);
        if (!parsed) return out_.stop = MemoryDecode::Stop::BadIhdr, false;  // struct.error or OverflowError
        return h = *parsed, true;
    }
    bool list(const Chunk& c, bool) { return out_.chunks.push_back(c.frame), true; }
    Payloads payloads() const { return out_.payloads; }
    void release_payloads() {}

    bool refuse(Error e) { return out_.stop = MemoryDecode::Stop::Refused, out_.refusal = e, false; }
    bool no_memory() { return out_.stop = MemoryDecode::Stop::NoMemory, false; }
    bool zlib_error(const InflateResult& r) { return out_.stop = MemoryDecode::Stop::Zlib, out_.zlib = r, false; }
    bool bad_filter(uint8_t filter) {
        return out_.stop = MemoryDecode::Stop::BadFilter, out_.bad_filter = filter, false;
    }
    uint64_t max_size() const { return max_size_; }
    template <typename Work>
    auto unlocked(Work&& work) {
        return work();
    }

    int own_inflater() { return out_.header_accepted = true, 1; }
    bool inflate_elsewhere(std::optional<uint64_t>, std::optional<uint64_t>) { return false; }
    bool make_planes(uint64_t lines, std::optional<uint64_t> alpha_bytes) {
        out_.lines.resize(static_cast<size_t>(lines));
        out_.alpha.resize(static_cast<size_t>(alpha_bytes.value_or(0)));
        // The module's buffers are never null, even when empty.
        out_.lines.reserve(1), out_.alpha.reserve(1);
        return true;
    }
    std::span<uint8_t> lines() { return out_.lines; }
    std::span<uint8_t> alpha() { return {out_.alpha.data(), out_.alpha.size()}; }
    bool shrink_alpha(uint64_t size) { return out_.alpha.resize(static_cast<size_t>(size)), true; }
    HostBytes inflate_with_host(std::span<const uint8_t> joined) {
        inflated_ = host_zlib_(joined);
        if (!inflated_) return zlib_error({InflateResult::Kind::Invalid}), HostBytes{};
        return {false, true, *inflated_};
    }
    uint8_t* filters(size_t height) {
        out_.filters.assign(height, 0);
        out_.filters.reserve(1);
        return out_.filters.data();
    }

private:
    std::span<const uint8_t> file_;
    size_t at_ = sizeof kSignature;
    uint64_t max_size_;
    HostZlib& host_zlib_;
    MemoryDecode& out_;
    std::optional<std::vector<uint8_t>> inflated_;
};

// Decodes `file` (signature included) as the module decodes bytes; a file
// without the signature stops at once, refused.
template <class HostZlib>
MemoryDecode decode_memory(std::span<const uint8_t> file, uint64_t max_size, HostZlib&& host_zlib) {
    MemoryDecode out;
    if (file.size() < sizeof kSignature || std::memcmp(file.data(), kSignature, sizeof kSignature) != 0) {
        out.stop = MemoryDecode::Stop::Refused, out.refusal = Error::BadSignature;
        return out;
    }
    MemoryHost<std::remove_reference_t<HostZlib>> host(file, max_size, host_zlib, out);
    if (decode(host, out.header)) out.lines.resize(size_t(out.header.width) * size_t(out.header.height) * 3);
    return out;
}

}  // namespace vextaro::png
