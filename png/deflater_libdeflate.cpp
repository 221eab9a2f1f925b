#include <libdeflate.h>

#include <memory>
#include <new>

#include "png/deflate.hpp"

namespace vextaro::png {

namespace {

struct CompressorDeleter {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};

}  // namespace

std::optional<Deflated> deflate_at_level(std::span<const uint8_t> data, int level) {
    // libdeflate returns NULL for a failed allocation (0.2 MB at level 1 up to
    // 9 MB at 10-12): made per call, so that threads at different levels share nothing.
    std::unique_ptr<libdeflate_compressor, CompressorDeleter> c(libdeflate_alloc_compressor(level));
    if (!c) return std::nullopt;
    const size_t bound = libdeflate_zlib_compress_bound(c.get(), data.size());
    Deflated out{std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[bound]), 0};
    if (!out.bytes) return std::nullopt;
    // Never 0 with a buffer of the bound's size.
    out.size = libdeflate_zlib_compress(c.get(), data.data(), data.size(), out.bytes.get(), bound);
    if (out.size == 0) return std::nullopt;
    return out;
}

}  // namespace vextaro::png
