#include <zlib.h>

#include "png/inflater.hpp"
#include "png/zlib_input.hpp"

namespace vextaro::png {

Inflated inflate_within(std::span<const uint8_t> in, std::span<uint8_t> out) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return {Inflated::Status::OutOfMemory};
    const uint8_t* next = in.data();
    size_t in_left = in.size();
    uint8_t* to = out.data();
    size_t out_left = out.size();
    int err = Z_OK;
    // Both sides go in slices: the stream counts them in 32-bit fields.
    while (err == Z_OK) {
        feed_next_slice(z, next, in_left);
        z.next_out = to;
        z.avail_out = static_cast<uInt>(out_left < (size_t{1} << 30) ? out_left : (size_t{1} << 30));
        const uInt offered = z.avail_out;
        err = inflate(&z, Z_NO_FLUSH);
        const size_t produced = offered - z.avail_out;
        to += produced;
        out_left -= produced;
        // Z_BUF_ERROR means no progress was possible: the input ran out or `out` is full.
        if (err == Z_BUF_ERROR) break;
    }
    inflateEnd(&z);
    if (err == Z_MEM_ERROR) return {Inflated::Status::OutOfMemory};
    if (err != Z_STREAM_END) return {Inflated::Status::NotHere};
    return {Inflated::Status::Done, out.size() - out_left};
}

uint32_t crc32_of(uint32_t crc, std::span<const uint8_t> data) {
    return static_cast<uint32_t>(crc32_z(crc, data.data(), data.size()));
}

}  // namespace vextaro::png
