// Real files through the codecs, decoded and encoded again, summed up in one
// digest per file. The digests are those of the x86-64 build: another
// architecture or byte order (scripts/cross_test.sh) must reach the same.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "bmp/memory_decode.hpp"
#include "bmp/rows.hpp"
#include "png/deflate.hpp"
#include "png/filter.hpp"
#include "png/frame.hpp"
#include "png/header.hpp"
#include "png/inflate.hpp"
#include "png/memory_decode.hpp"
#include "png/payloads.hpp"
#include "png/unfilter.hpp"

namespace vextaro {
namespace {

using Bytes = std::vector<uint8_t>;

// FNV-1a over everything a decode and an encode produced, verdicts included.
class Digest {
public:
    void add(const void* data, size_t n) {
        for (size_t i = 0; i < n; ++i) value_ = (value_ ^ static_cast<const uint8_t*>(data)[i]) * 0x100000001b3;
    }
    void add(const Bytes& b) {
        add(uint64_t{b.size()});
        add(b.data(), b.size());
    }
    void add(uint64_t v) {
        // Byte by byte from the low end, so that the digest does not depend on the byte order.
        for (int k = 0; k < 8; ++k) add_byte(static_cast<uint8_t>(v >> (8 * k)));
    }
    void add(const char* verdict) { add(verdict, std::strlen(verdict)); }
    uint64_t value() const { return value_; }

private:
    void add_byte(uint8_t b) { add(&b, 1); }
    uint64_t value_ = 0xcbf29ce484222325;
};

Bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// The module's PNG decode pipeline without Python; then the image filtered and
// deflated again.
void png_digest(const Bytes& file, Digest& d) {
    using namespace png;
    if (file.size() < 8) return d.add("short");
    d.add(file.data(), 8);
    // The host's zlib is asked only where the two inflaters disagree: none of these files.
    const auto r = decode_memory(file, uint64_t{1} << 40,
                                 [](std::span<const uint8_t>) { return std::optional<Bytes>(); });
    for (const uint32_t crc : r.stored_crcs) d.add(uint64_t{crc});
    if (r.stop == MemoryDecode::Stop::Refused && r.refusal == Error::CorruptChunk) return d.add("crc");
    if (r.stop == MemoryDecode::Stop::Refused && !r.header_accepted)
        return d.add(uint64_t{static_cast<uint8_t>(r.refusal)});
    if (r.stop != MemoryDecode::Stop::None) d.add(uint64_t{static_cast<uint8_t>(r.stop)});
    if (r.stop == MemoryDecode::Stop::Refused) return d.add(uint64_t{static_cast<uint8_t>(r.refusal)});
    if (r.stop == MemoryDecode::Stop::Zlib) return d.add(uint64_t{static_cast<uint8_t>(r.zlib.kind)});
    if (r.stop == MemoryDecode::Stop::BadFilter) return d.add(uint64_t{r.bad_filter});
    ASSERT_EQ(r.stop, MemoryDecode::Stop::None);
    // As an image that inflated was summed before: planned to inflate, inflated exactly.
    d.add(uint64_t{static_cast<uint8_t>(InflatePlan::Inflate)}), d.add(uint64_t{0});
    d.add(r.lines), d.add(r.alpha), d.add(r.filters);

    const size_t width = size_t(r.header.width), height = size_t(r.header.height);
    const int bpp = channels_of(r.header);
    ByteBlock storage;
    Bytes stored(height * (width * bpp + 1));
    ASSERT_EQ(inflate_exact(join(r.payloads, storage).value(), stored).kind, InflateResult::Kind::Exact);
    Bytes again(stored.size());
    Bytes rgba_rows(2 * width * 4);
    ASSERT_FALSE(encode_scanlines(r.lines.data(), r.alpha.data(), width, height, bpp, r.filters.data(), again.data(),
                                  rgba_rows.data()));
    EXPECT_EQ(again, stored);
    // Compressed streams may differ between zlib builds (s390x's uses its deflate
    // instruction where it has it): only what they inflate to counts.
    const auto deflater = zlib_deflater(kZlibDefaultLevel);
    ASSERT_TRUE(deflater);
    Bytes deflated(deflater->bound(again.size()));
    const auto deflated_size = deflater->run(again, deflated);
    ASSERT_TRUE(deflated_size);
    Bytes back(again.size());
    EXPECT_EQ(inflate_exact({deflated.data(), *deflated_size}, back).kind, InflateResult::Kind::Exact);
    EXPECT_EQ(back, again);
}

// The module's BMP decode pipeline without Python, read as bytes are; then the
// pixel array the writer makes of the image.
void bmp_digest(const Bytes& file, Digest& d) {
    using namespace bmp;
    if (file.size() < 54) return d.add("short");
    const MemoryDecode r = decode_memory(file, false);
    if (r.stop == MemoryDecode::Stop::Refused && r.refusal == Error::Incomplete) return d.add("incomplete");
    if (r.stop == MemoryDecode::Stop::Refused) return d.add(uint64_t{static_cast<uint8_t>(r.refusal)});
    ASSERT_EQ(r.stop, MemoryDecode::Stop::None);
    d.add(r.pixels);
    const auto width = static_cast<size_t>(r.plan.width), rows = static_cast<size_t>(r.plan.rows);
    Bytes written(r.plan.stride * rows);
    write_rows(r.pixels.data(), width, rows, 0, rows, written.data());
    d.add(written);
}

struct Case {
    const char* path;  // from the source root
    uint64_t digest;
};

class Digests : public ::testing::TestWithParam<Case> {};

TEST_P(Digests, SameAsOnX86_64) {
    const std::string path = GetParam().path;
    const Bytes file = read_file(std::string(VEXTARO_SOURCE_ROOT) + "/" + path);
    ASSERT_FALSE(file.empty()) << path;
    Digest d;
    if (path.ends_with(".png")) {
        png_digest(file, d);
    } else {
        bmp_digest(file, d);
    }
    char hex[19];
    std::snprintf(hex, sizeof hex, "0x%016llx", static_cast<unsigned long long>(d.value()));
    EXPECT_EQ(d.value(), GetParam().digest) << path << " digests to " << hex;
}

INSTANTIATE_TEST_SUITE_P(Files, Digests,
                         ::testing::Values(Case{"tests/hostile/bmp-40000x40000.bmp", 0xf0c61fdd440af065},
                                           Case{"tests/hostile/chunk-length-4294967295.png", 0xe76a0743160c51ba},
                                           Case{"tests/hostile/png-2147483647x2147483647.png", 0xaa452869b9d6fa55},
                                           Case{"tests/hostile/three-empty-idats.png", 0xb5ac3cb3d3f5ffef},
                                           Case{"fuzz/corpus/png_decode/one-pixel.png", 0x36a0194246908ca6},
                                           Case{"fuzz/corpus/png_decode/rgb-filters.png", 0xbf5d906c693a0ab7},
                                           Case{"fuzz/corpus/png_decode/rgba-filters.png", 0xb262a188bc013821},
                                           Case{"fuzz/corpus/png_decode/split-idat.png", 0x96951e30c20ce50e},
                                           Case{"fuzz/corpus/png_decode/stored.png", 0xdad71ccda373e704},
                                           Case{"fuzz/corpus/png_decode/tall.png", 0x8b4e4ea7be0ff7b8},
                                           Case{"fuzz/corpus/png_decode/wide.png", 0x6f6ec20a4018311d},
                                           Case{"fuzz/corpus/bmp_decode/bottom-up.bmp", 0xdc683e65e7bdca25},
                                           Case{"fuzz/corpus/bmp_decode/top-down.bmp", 0x7773df0cd7aeadcb},
                                           Case{"fuzz/corpus/bmp_decode/padding.bmp", 0xab7559a65b641797},
                                           Case{"fuzz/corpus/bmp_decode/gap.bmp", 0xc95b2d9c33e5fa8d},
                                           Case{"fuzz/corpus/bmp_decode/square.bmp", 0x293ca1dcf05f9e7e}),
                         [](const auto& info) {
                             std::string name = info.param.path;
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

}  // namespace
}  // namespace vextaro
