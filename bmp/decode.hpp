// The BMP decode pipeline: the header checks and refusals, where the rows are,
// and the rows converted into their final places, all at once from memory or
// one at a time from a stream. Plain C++: what a caller of the module can
// observe (reading and seeking a stream, unpacking the header fields, the
// pixel buffer, raising) is the host's, so that the module, the fuzz target and
// the digest test run the same decisions.
//
// A Host provides
//   std::optional<Read> read(uint64_t n)        at most n bytes, as a Read of the host's own;
//                                                nothing when reading failed
//   std::span<const uint8_t> view(const Read&)   their bytes
//   bool file_fields(std::span<const uint8_t>)   unpacks the file header after "BM", keeping the pixel offset
//   std::optional<int64_t> info_size(Read&)      unpacks the info header's size field
//   bool info_fields(Read&, InfoHeader&)         unpacks the info header's other fields
//   bool refuse(Error)                           raise; false
//   bool seek_pixels()                           to the pixel offset unpacked
//   bool in_memory()                             whether take() and remaining() may be used
//   uint64_t remaining(), std::span<const uint8_t> take(uint64_t n)   the bytes left, in memory
//   bool make_pixels(uint64_t), std::span<uint8_t> pixels()   the pixel buffer at its final size
//   Storage& row_storage()                       the row sink's storage (bmp/row_sink.hpp)
//   bool no_room()                               the storage could not grow: raise if it did not; false
//   auto unlocked(Work)                          runs work that calls nothing of the host's
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

#include "bmp/errors.hpp"
#include "bmp/header.hpp"
#include "bmp/row_sink.hpp"
#include "bmp/rows.hpp"

namespace vextaro::bmp {

// Where the rows of an accepted file are and where they go.
struct Plan {
    uint64_t width = 0, rows = 0, stride = 0;
    bool bottom_up = false;
    // The RGB bytes of the whole image; rows of width 0 hold none, however many there are.
    uint64_t pixel_bytes() const { return stride > 0 ? width * 3 * rows : 0; }
};

// Both headers read, unpacked and checked; the plan of an accepted file.
template <class Host>
std::optional<Plan> read_headers(Host& host) {
    const auto file_header = host.read(kFileHeaderSize);
    if (!file_header) return std::nullopt;
    const std::span<const uint8_t> fh = host.view(*file_header);
    if (fh.size() != kFileHeaderSize || std::memcmp(fh.data(), "BM", 2) != 0)
        return host.refuse(Error::FileHeader), std::nullopt;
    if (!host.file_fields(fh.subspan(2))) return std::nullopt;

    auto size_field = host.read(4);
    if (!size_field) return std::nullopt;
    if (host.view(*size_field).size() != 4) return host.refuse(Error::DibHeader), std::nullopt;
    const auto size = host.info_size(*size_field);
    if (!size) return std::nullopt;
    if (*size != kInfoHeaderSize) return host.refuse(Error::HeaderKind), std::nullopt;

    auto info = host.read(kInfoHeaderSize - 4);
    InfoHeader h;
    if (!info || !host.info_fields(*info, h)) return std::nullopt;
    if (const auto refusal = info_refusal(h)) return host.refuse(*refusal), std::nullopt;
    const auto width = static_cast<uint64_t>(h.width);
    return Plan{width, row_count(h.height), row_stride(static_cast<uint32_t>(width)), bottom_up(h.height)};
}

// All rows are there, so the buffer is made once, at its final size, and filled
// straight from the file's bytes.
template <class Host>
bool rows_from_memory(Host& host, const Plan& p) {
    if (p.stride > 0 && host.remaining() / p.stride < p.rows) return host.refuse(Error::Incomplete);
    if (!host.make_pixels(p.pixel_bytes())) return false;
    if (p.pixel_bytes() == 0) return true;
    const uint8_t* in = host.take(p.stride * p.rows).data();
    const std::span<uint8_t> out = host.pixels();
    host.unlocked([&] {
        read_rows(in, p.rows, p.stride, static_cast<size_t>(p.width), p.bottom_up, out.data());
        return 0;
    });
    return true;
}

// A header may claim more than any buffer holds: the buffer grows only with rows
// that arrive, so a short file is found short, as from memory.
template <class Host>
bool rows_from_stream(Host& host, const Plan& p) {
    const uint64_t row_bytes = p.width * 3;
    uint64_t total;
    if (__builtin_mul_overflow(row_bytes, p.rows, &total)) total = UINT64_MAX;
    RowSink sink(host.row_storage(), total, p.bottom_up);
    for (uint64_t r = 0; p.stride > 0 && r < p.rows; ++r) {
        const auto row = host.read(p.stride);
        if (!row) return false;
        const std::span<const uint8_t> stored = host.view(*row);
        if (stored.size() != p.stride) return host.refuse(Error::Incomplete);
        uint8_t* target = sink.reserve(row_bytes);
        if (target == nullptr) return host.no_room();
        bgr_to_rgb(stored.data(), static_cast<size_t>(p.width), target);
    }
    return true;
}

// The whole decode: the plan into `plan`, the rows in the host's pixel buffer
// (from memory) or its row storage (from a stream).
template <class Host>
bool decode(Host& host, Plan& plan) {
    const auto planned = read_headers(host);
    if (!planned) return false;
    plan = *planned;
    if (!host.seek_pixels()) return false;
    return host.in_memory() ? rows_from_memory(host, plan) : rows_from_stream(host, plan);
}

}  // namespace vextaro::bmp
