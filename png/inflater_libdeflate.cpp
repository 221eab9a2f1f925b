#include <libdeflate.h>

#include <memory>

#include "png/inflater.hpp"

namespace vextaro::png {

namespace {

struct DecompressorDeleter {
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

}  // namespace

Inflated inflate_within(std::span<const uint8_t> in, std::span<uint8_t> out) {
    std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> d(libdeflate_alloc_decompressor());
    if (!d) return {Inflated::Status::OutOfMemory};
    size_t used = 0, produced = 0;
    const auto r = libdeflate_zlib_decompress_ex(d.get(), in.data(), in.size(), out.data(), out.size(), &used,
                                                 &produced);
    if (r != LIBDEFLATE_SUCCESS) return {Inflated::Status::NotHere};
    return {Inflated::Status::Done, produced};
}

uint32_t crc32_of(uint32_t crc, std::span<const uint8_t> data) {
    return libdeflate_crc32(crc, data.data(), data.size());
}

}  // namespace vextaro::png
