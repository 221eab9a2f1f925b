// The PNG encode pipeline: the length checks, the scanline filtering, the
// deflater at its level, the split of the new image data along the IDAT sizes a
// file had, and the plan of the chunks around it. Plain C++: what a caller of
// the module can observe (len() of its buffers, packing IHDR, a zlib.compress
// that is not its own, the split and the chunk framing when rebound, comparing
// chunk types and IHDR data, raising) is the host's, so that the module and the
// fuzz target run the same decisions.
//
// A Host provides, for the image data
//   bool lengths()                              the pixel and alpha lengths checked against the size
//   bool header(const Header&)                  makes the IHDR data of the image (negative sizes refused)
//   bool pin()                                  takes the buffers, the filter list's length checked
//   uint64_t max_size()                         the largest buffer it can make
//   std::optional<std::span<uint8_t>> scratch(uint64_t)  that many bytes; nothing when it failed
//   std::optional<Planes> planes()              the buffers taken again, their lengths checked
//   bool bad_filter(int filter)                 raise; false
//   int own_deflater(std::optional<int> level)  1: deflate here, 0: the host's compress, -1 failed
//   bool compress_elsewhere(span, level)        the host's compress, its output kept
//   std::optional<std::span<uint8_t>> room(size_t)  where the compressed bytes go; nothing when it failed (raised)
//   bool compressed(size_t)                     keeps that many of them
//   bool no_memory()                            raise; false
//   auto unlocked(Work)                         runs work that calls nothing of the host's
// and for the chunk plan
//   bool read_entries()                         the chunk list, each entry's kind and IDAT size
//   int own_split()                             1: split here along idat_sizes(), 0: the host splits, -1 failed
//   std::span<const uint64_t> idat_sizes()      the recorded IDAT sizes
//   uint64_t compressed_size()                  the new image data's size
//   bool idat_part(uint64_t at, uint64_t size)  frames that part of the new image data as an IDAT
//   bool split_elsewhere()                      frames as IDATs the parts of the host's split
//   size_t entry_count(); Kind kind(size_t)     the chunk list read
//   int header_differs(size_t)                  an IHDR entry's data is not the image's; -1 failed
//   bool fresh_header()                         frames the image's IHDR
//   bool entry(size_t, bool fresh)              frames an entry (with the image's IHDR data if fresh)
//   bool image_data()                           places the framed IDATs
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "png/deflate.hpp"
#include "png/filter.hpp"
#include "png/header.hpp"

namespace vextaro::png {

// The bytes the scanlines are made of; `alpha` and `filters` are null when the
// image has none.
struct Planes {
    const uint8_t *rgb, *alpha, *filters;
};

// An entry of a chunk list, as the plan treats it.
enum class Kind : uint8_t { Idat, Ihdr, Other };

// The IHDR of an 8-bit image of this size, RGBA or RGB.
constexpr Header fresh_header(int32_t width, int32_t height, bool alpha) {
    return {width, height, 8, alpha ? 6 : 2, 0, 0, 0};
}

// How split_along compares two of its numbers.
enum class Order : uint8_t { Less, LessEqual, GreaterEqual };

// The new image data cut along the IDAT sizes a file had: each size while the
// data lasts, the last one taking all that remains, sizes of 0 or less making
// no part, and what they leave one more part. In the arithmetic of `n`, whose
// every step may fail (a number that is not ok(), a comparison of -1):
//   Number number(int), total(), size(size_t i)  bool ok(const Number&)
//   int compare(const Number&, const Number&, Order)
//   Number minus(const Number&, const Number&), plus(const Number&, const Number&)
//   bool part(const Number& at, const Number* end)   that part (no end: the rest)
template <class Numbers>
bool split_along(Numbers& n, size_t count) {
    using Number = typename Numbers::Number;
    Number at = n.number(0), total = n.total(), zero = n.number(0);
    if (!n.ok(at) || !n.ok(total) || !n.ok(zero)) return false;
    for (size_t i = 0; i < count; ++i) {
        Number size = n.size(i), take;
        if (!n.ok(size)) return false;
        int r = n.compare(at, total, Order::GreaterEqual);
        if (r != 0) {
            if (r < 0) return false;
            break;
        }
        if ((r = n.compare(size, zero, Order::LessEqual)) != 0) {
            if (r < 0) return false;
            continue;
        }
        Number remaining = n.minus(total, at);
        if (!n.ok(remaining)) return false;
        // min(size, remaining): the first of the two unless the second is smaller.
        if (i + 1 < count && (r = n.compare(remaining, size, Order::Less)) < 0) return false;
        take = i + 1 == count || r ? std::move(remaining) : std::move(size);
        if ((r = n.compare(take, zero, Order::LessEqual)) != 0) {
            if (r < 0) return false;
            continue;
        }
        Number end = n.plus(at, take);
        if (!n.ok(end) || !n.part(at, &end)) return false;
        at = std::move(end);
    }
    const int rest = n.compare(at, total, Order::Less);
    return rest == 0 || (rest > 0 && n.part(at, nullptr));
}

// Sizes that are plain non-negative integers, in C++'s arithmetic.
template <typename Part>
struct PlainSizes {
    using Number = uint64_t;
    uint64_t total_size;
    std::span<const uint64_t> sizes;
    Part part_of;  // part_of(at, size)
    bool any = false;

    uint64_t number(int v) const { return static_cast<uint64_t>(v); }
    uint64_t total() const { return total_size; }
    uint64_t size(size_t i) const { return sizes[i]; }
    bool ok(uint64_t) const { return true; }
    int compare(uint64_t a, uint64_t b, Order o) const {
        return o == Order::Less ? a < b : o == Order::LessEqual ? a <= b : a >= b;
    }
    uint64_t minus(uint64_t a, uint64_t b) const { return a - b; }
    uint64_t plus(uint64_t a, uint64_t b) const { return a + b; }
    bool part(uint64_t at, const uint64_t* end) { return any = true, part_of(at, (end ? *end : total_size) - at); }
};

// The image's IHDR data and its scanlines filtered and compressed, all before
// any file is opened. A level is the module's own deflater's; none is zlib's
// default, the stream the host's zlib.compress makes.
template <class Host>
bool encode_image_data(Host& host, int32_t width, int32_t height, bool alpha, std::optional<int> level) {
    if (!host.lengths() || !host.header(fresh_header(width, height, alpha)) || !host.pin()) return false;
    // Both dimensions are non-negative once the header is made.
    const int channels = alpha ? 4 : 3;
    const auto w = static_cast<uint64_t>(width), h = static_cast<uint64_t>(height);
    uint64_t scanline_length;
    if (__builtin_mul_overflow(w * channels + 1, h, &scanline_length) || scanline_length > host.max_size())
        return host.no_memory();
    // The scanlines, and after them the two RGBA rows the filter assembles.
    const uint64_t rows_length = alpha && h > 0 ? 2 * w * 4 : 0;
    const auto scratch = host.scratch(scanline_length + rows_length);
    if (!scratch) return host.no_memory();
    const std::span<uint8_t> lines = scratch->first(static_cast<size_t>(scanline_length));
    // Taken after the last allocation, since a collection may run a caller's code.
    const auto planes = host.planes();
    if (!planes) return false;
    // Filtered with the host's lock held: each row is filtered against the one
    // above it, so another thread writing the pixels meanwhile would make values
    // that were never in the image. Compression reads only the scanlines.
    const auto bad = encode_scanlines(planes->rgb, planes->alpha, w, h, channels, planes->filters, lines.data(),
                                      lines.data() + lines.size());
    if (bad) return host.bad_filter(bad->filter);
    const int own = host.own_deflater(level);
    if (own <= 0) return own == 0 && host.compress_elsewhere(lines, level);
    const auto deflater = level ? level_deflater(*level) : zlib_deflater(kZlibDefaultLevel);
    if (!deflater) return host.no_memory();
    // Compressed straight into the memory that is written out.
    const auto room = host.room(deflater->bound(lines.size()));
    if (!room) return false;
    const auto size = host.unlocked([&] { return deflater->run(lines, *room); });
    return size ? host.compressed(*size) : host.no_memory();
}

// The chunks after the signature, in order: every entry of the chunk list as
// it is, but an IHDR that does not describe the image written fresh, and the
// new image data as IDATs, cut along the file's IDAT sizes, where the first
// IDAT stood (or after the last entry). A list without an IHDR gets one first.
// The IDATs are framed first.
template <class Host>
bool plan_chunks(Host& host) {
    if (!host.read_entries()) return false;
    const int own = host.own_split();
    if (own < 0) return false;
    if (own) {
        const auto part = [&](uint64_t at, uint64_t size) { return host.idat_part(at, size); };
        PlainSizes<decltype(part)> sizes{host.compressed_size(), host.idat_sizes(), part};
        // Data that makes no part is written as one.
        if (!split_along(sizes, sizes.sizes.size()) || (!sizes.any && !host.idat_part(0, sizes.total_size)))
            return false;
    } else if (!host.split_elsewhere()) {
        return false;
    }
    bool has_ihdr = false;
    for (size_t i = 0; i < host.entry_count(); ++i) has_ihdr = has_ihdr || host.kind(i) == Kind::Ihdr;
    if (!has_ihdr && !host.fresh_header()) return false;
    bool placed = false;
    for (size_t i = 0; i < host.entry_count(); ++i) {
        const Kind kind = host.kind(i);
        if (kind == Kind::Idat) {
            if (!placed && !host.image_data()) return false;
            placed = true;
            continue;
        }
        const int fresh = kind == Kind::Ihdr ? host.header_differs(i) : 0;
        if (fresh < 0 || !host.entry(i, fresh > 0)) return false;
    }
    return placed || host.image_data();
}

// The whole encode of an image kept with its chunk list.
template <class Host>
bool encode(Host& host, int32_t width, int32_t height, bool alpha, std::optional<int> level) {
    return encode_image_data(host, width, height, alpha, level) && plan_chunks(host);
}

}  // namespace vextaro::png
