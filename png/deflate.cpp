#include "png/deflate.hpp"

#include <zlib.h>

#include <new>

#include "png/zlib_input.hpp"

namespace vextaro::png {

std::optional<Deflated> deflate_default(std::span<const uint8_t> data) {
    return deflate_zlib(data, Z_DEFAULT_COMPRESSION);
}

std::optional<Deflated> deflate_zlib(std::span<const uint8_t> data, int level) {
    z_stream z{};
    if (deflateInit2(&z, level, Z_DEFLATED, MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) return std::nullopt;
    // One buffer of the worst-case size: pages the stream never reaches are
    // never touched, so they cost address space only.
    const uLong bound = deflateBound(&z, static_cast<uLong>(data.size()));
    Deflated out{std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[bound]), 0};
    if (!out.bytes) {
        deflateEnd(&z);
        return std::nullopt;
    }
    const uint8_t* next = data.data();
    size_t left = data.size();
    z.next_out = out.bytes.get();
    int err = Z_OK;
    while (err == Z_OK) {
        feed_next_slice(z, next, left);
        const size_t room = bound - static_cast<size_t>(z.next_out - out.bytes.get());
        z.avail_out = static_cast<uInt>(room < (1u << 30) ? room : (1u << 30));  // 32 bits wide too
        // Finishing with the last slice, as zlib.compress does.
        err = deflate(&z, left == 0 ? Z_FINISH : Z_NO_FLUSH);
    }
    out.size = static_cast<size_t>(z.next_out - out.bytes.get());
    deflateEnd(&z);
    if (err != Z_STREAM_END) return std::nullopt;
    return out;
}

const char* zlib_runtime_version() { return zlibVersion(); }

}  // namespace vextaro::png
