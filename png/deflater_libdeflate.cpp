#include <libdeflate.h>

#include "png/deflate.hpp"

namespace vextaro::png {

namespace {

// Made per save, so that threads at different levels share nothing.
class LibdeflateDeflater final : public Deflater {
public:
    explicit LibdeflateDeflater(libdeflate_compressor* c) noexcept : c_(c) {}
    ~LibdeflateDeflater() override { libdeflate_free_compressor(c_); }

    size_t bound(size_t size) override { return libdeflate_zlib_compress_bound(c_, size); }

    std::optional<size_t> run(std::span<const uint8_t> data, std::span<uint8_t> out) override {
        // Never 0 with room of the bound's size: the compressor allocates nothing here.
        const size_t size = libdeflate_zlib_compress(c_, data.data(), data.size(), out.data(), out.size());
        if (size == 0) return std::nullopt;
        return size;
    }

private:
    libdeflate_compressor* c_;
};

}  // namespace

Owned<Deflater> level_deflater(int level) {
    // libdeflate returns NULL for a failed allocation.
    libdeflate_compressor* c = libdeflate_alloc_compressor(level);
    if (!c) return nullptr;
    Owned<Deflater> d = make<LibdeflateDeflater>(c);
    if (!d) libdeflate_free_compressor(c);
    return d;
}

}  // namespace vextaro::png
