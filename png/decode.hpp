// The PNG decode pipeline: the chunk walk, the header checks, where the image
// data is joined, how it is inflated, and the reconstruction. Plain C++: what a
// caller of the module can observe (reading a chunk, comparing its type,
// unpacking IHDR, a zlib that is not its own, raising) is the host's, so that the
// module, the fuzz target and the digest test run the same decisions.
//
// A Host provides
//   std::optional<Host::Chunk> next_chunk()     the next chunk; nothing when it failed
//   int is(Host::Chunk&, const char* type)      its type is `type` ("" at the end), -1 failed
//   bool image_data(Host::Chunk&)               keeps an IDAT payload
//   bool other_chunk(Host::Chunk&)              measures any other chunk
//   bool header(Host::Chunk&, Header&)          unpacks IHDR
//   bool list(Host::Chunk&, bool idat)          records the chunk in file order
//   Payloads payloads()                         the IDAT payloads kept
//   bool refuse(Error), bool no_memory()        raise; both return false
//   bool zlib_error(const InflateResult&)       raise the host zlib's error; false
//   bool bad_filter(int filter)                 raise; false
//   uint64_t max_size()                         the largest buffer it can make
//   int own_inflater()                          1: inflate here, 0: the host's zlib decides, -1 failed
//   bool inflate_elsewhere(expected, alpha)     that host zlib's way, planes included
//   bool make_planes(uint64_t, std::optional<uint64_t>)  scanline and alpha buffers
//   std::span<uint8_t> lines(), alpha()         those buffers
//   bool shrink_alpha(uint64_t)                 cuts the alpha buffer back to its size
//   Host::JoinSpace(Host&, size_t)              memory to join the payloads of an RGB image in
//   void release_payloads()                     the payloads' own copies are no longer needed
//   HostBytes inflate_with_host(span)           the host zlib's output, for streams inflated Unsure
//   uint8_t* filters(size_t height)             the filter-type buffer; null when it failed
//   auto unlocked(Work)                         runs work that calls nothing of the host's
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

#include "png/errors.hpp"
#include "png/header.hpp"
#include "png/huge_pages.hpp"
#include "png/inflate.hpp"
#include "png/payloads.hpp"
#include "png/unfilter.hpp"

namespace vextaro::png {

// What the host's zlib gave for a stream: nothing (it failed), or an object
// that may not be bytes at all.
struct HostBytes {
    bool failed = true;
    bool bytes = false;
    std::span<const uint8_t> data;
};

// Every chunk to the host; IHDR's fields into `h`. Data that ends between chunks
// ends the walk, as an IEND does.
template <class Host>
bool walk_chunks(Host& host, Header& h) {
    for (;;) {
        auto chunk = host.next_chunk();
        if (!chunk) return false;
        int r = host.is(*chunk, "");
        if (r != 0) return r > 0;
        const int idat = host.is(*chunk, "IDAT");
        if (idat < 0) return false;
        if (idat) {
            if (!host.image_data(*chunk)) return false;
        } else {
            if (!host.other_chunk(*chunk)) return false;
            const int ihdr = host.is(*chunk, "IHDR");
            if (ihdr < 0 || (ihdr && !host.header(*chunk, h))) return false;
        }
        if (!host.list(*chunk, idat)) return false;
        r = host.is(*chunk, "IEND");
        if (r != 0) return r > 0;
    }
}

// A claim the data cannot back is judged by zlib before any memory is reserved
// for it: true when the scanline buffer may be made.
template <class Host>
bool judge_claim(Host& host, Payloads payloads, std::optional<uint64_t> expected) {
    const auto plan = plan_inflation(total_size(payloads), expected);
    if (plan == InflatePlan::Inflate) return true;
    ByteBlock storage;
    const auto joined = join(payloads, storage);
    if (!joined) return host.no_memory();
    if (plan == InflatePlan::JudgeOnly) host.release_payloads();
    const uint64_t length = plan == InflatePlan::JudgeOnly ? UINT64_MAX : *expected;
    const auto verdict = host.unlocked([&] { return judge_with_zlib(*joined, length); });
    if (verdict.kind == InflateResult::Kind::Invalid || verdict.kind == InflateResult::Kind::OutOfMemory)
        return host.zlib_error(verdict);
    if (plan == InflatePlan::JudgeOnly || verdict.kind == InflateResult::Kind::OtherLength)
        return host.refuse(Error::Malformed);
    return true;
}

// Inflates the joined stream into the scanline buffer, with the outcome the
// host's zlib would give; the host's zlib has the last word where the two
// inflaters disagree.
template <class Host>
bool inflate_joined(Host& host, std::span<const uint8_t> joined) {
    const std::span<uint8_t> target = host.lines();
    const auto r = host.unlocked([&] { return inflate_exact(joined, target); });
    switch (r.kind) {
        case InflateResult::Kind::Exact: return true;
        case InflateResult::Kind::OtherLength: return host.refuse(Error::Malformed);
        case InflateResult::Kind::Invalid:
        case InflateResult::Kind::OutOfMemory: return host.zlib_error(r);
        case InflateResult::Kind::Unsure: break;
    }
    const HostBytes inflated = host.inflate_with_host(joined);
    if (inflated.failed) return false;
    if (!inflated.bytes || inflated.data.size() != target.size()) return host.refuse(Error::Malformed);
    if (!target.empty()) std::memcpy(target.data(), inflated.data.data(), target.size());
    return true;
}

// The scanline buffer of exactly `expected` bytes, filled; the alpha buffer of
// `alpha_size` bytes made.
template <class Host>
bool inflate_scanlines(Host& host, std::optional<uint64_t> expected, std::optional<uint64_t> alpha_size) {
    const int own = host.own_inflater();
    if (own <= 0) return own == 0 && host.inflate_elsewhere(expected, alpha_size);
    const Payloads payloads = host.payloads();
    if (!judge_claim(host, payloads, expected)) return false;
    // The alpha buffer is filled only after inflation, so until then it holds
    // the joined payloads, grown for them if need be and cut back after: a third
    // buffer would add to the peak. Without alpha they go to memory the host
    // keeps for it.
    const uint64_t compressed = total_size(payloads);
    const bool join_in_alpha = alpha_size && payloads.size() > 1;
    if (!host.make_planes(*expected,
                          alpha_size ? std::optional(join_in_alpha ? std::max(*alpha_size, compressed) : *alpha_size)
                                     : std::nullopt))
        return false;
    prefer_huge_pages(host.lines());
    std::optional<typename Host::JoinSpace> space;
    if (!alpha_size && payloads.size() > 1) space.emplace(host, static_cast<size_t>(compressed));
    if (space && space->failed()) return host.no_memory();
    ByteBlock storage;
    const auto joined = join(payloads, storage,
                             space        ? space->bytes()
                             : alpha_size ? host.alpha()
                                          : std::span<uint8_t>());
    if (!joined) return host.no_memory();
    host.release_payloads();
    if (!inflate_joined(host, *joined)) return false;
    return !join_in_alpha || host.shrink_alpha(*alpha_size);
}

// The whole decode, up to the reconstructed planes: the RGB bytes packed at the
// front of the scanline buffer, the alpha plane and the filter types filled.
// `h` is the header read.
template <class Host>
bool decode(Host& host, Header& h) {
    if (!walk_chunks(host, h)) return false;
    if (const auto refusal = header_refusal(h)) return host.refuse(*refusal);
    const int channels = channels_of(h);
    const auto expected = scanline_bytes(h, host.max_size());
    // Both dimensions are non-negative wherever the expected length exists.
    std::optional<uint64_t> alpha_size;
    if (channels == 4 && expected) alpha_size = uint64_t(h.width) * uint64_t(h.height);
    if (!inflate_scanlines(host, expected, alpha_size)) return false;
    // The length check passed, so both dimensions are non-negative and their products fit.
    const auto width = static_cast<size_t>(h.width), height = static_cast<size_t>(h.height);
    uint8_t* filters = host.filters(height);
    if (filters == nullptr) return false;
    const std::span<uint8_t> lines = host.lines();
    uint8_t* alpha = channels == 4 ? host.alpha().data() : nullptr;
    const auto bad = host.unlocked([&] { return reconstruct_image(lines, width, height, channels, filters, alpha); });
    return !bad || host.bad_filter(bad->filter);
}

}  // namespace vextaro::png
