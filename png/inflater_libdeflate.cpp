#include <libdeflate.h>

#include <memory>

#include "png/inflater.hpp"

namespace vextaro::png {

namespace {

struct DecompressorDeleter {
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

}  // namespace

std::optional<size_t> inflate_within(std::span<const uint8_t> in, std::span<uint8_t> out) {
    std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> d(libdeflate_alloc_decompressor());
    if (!d) return std::nullopt;
    size_t used = 0, produced = 0;
    const auto r =
        libdeflate_zlib_decompress_ex(d.get(), in.data(), in.size(), out.data(), out.size(), &used, &produced);
    if (r != LIBDEFLATE_SUCCESS) return std::nullopt;
    return produced;
}

uint32_t crc32_of(uint32_t crc, std::span<const uint8_t> data) {
    return libdeflate_crc32(crc, data.data(), data.size());
}

}  // namespace vextaro::png
