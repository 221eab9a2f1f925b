#include "bmp/memory_decode.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <random>
#include <vector>

namespace vextaro::bmp {
namespace {

using Bytes = std::vector<uint8_t>;

void put_le(Bytes& b, size_t at, uint32_t v, int bytes) {
    for (int k = 0; k < bytes; ++k) b[at + k] = static_cast<uint8_t>(v >> (8 * k));
}

// A 24-bit file of random rows, pixels right after the headers.
Bytes file_of(int32_t width, int32_t height, uint32_t seed) {
    Bytes f(54, 0);
    f[0] = 'B', f[1] = 'M';
    put_le(f, 10, 54, 4), put_le(f, 14, 40, 4), put_le(f, 18, uint32_t(width), 4), put_le(f, 22, uint32_t(height), 4);
    put_le(f, 26, 1, 2), put_le(f, 28, 24, 2);
    std::mt19937 rng(seed);
    f.resize(54 + row_stride(uint32_t(width)) * uint64_t(height < 0 ? -height : height));
    for (size_t i = 54; i < f.size(); ++i) f[i] = static_cast<uint8_t>(rng());
    return f;
}

struct Size {
    int32_t width, height;
};

class BothWays : public ::testing::TestWithParam<Size> {};

// Read as bytes and as a stream, every pixel is the stored one, rows top first.
// 7000 x 5 is over 64 KiB of rows: the stream's buffer grows twice.
TEST_P(BothWays, PixelsInImageOrder) {
    const auto [width, height] = GetParam();
    const Bytes file = file_of(width, height, uint32_t(width * 31 + height));
    const uint64_t rows = uint64_t(height < 0 ? -height : height), stride = row_stride(uint32_t(width));
    Bytes want;
    for (uint64_t y = 0; y < rows; ++y) {
        const uint8_t* row = &file[54 + (height > 0 ? rows - 1 - y : y) * stride];
        for (int32_t x = 0; x < width; ++x) want.insert(want.end(), {row[x * 3 + 2], row[x * 3 + 1], row[x * 3]});
    }
    for (const bool stream : {false, true}) {
        const MemoryDecode d = decode_memory(file, stream);
        ASSERT_EQ(d.stop, MemoryDecode::Stop::None) << stream;
        EXPECT_EQ(d.pixels, want) << stream;
        // One byte of the rows short: refused either way, however the rows are read.
        if (want.empty()) continue;
        const MemoryDecode cut = decode_memory({file.data(), file.size() - 1}, stream);
        EXPECT_EQ(cut.stop, MemoryDecode::Stop::Refused) << stream;
        EXPECT_EQ(cut.refusal, Error::Incomplete) << stream;
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, BothWays,
                         ::testing::Values(Size{1, 1}, Size{3, 2}, Size{5, -3}, Size{4, 4}, Size{7000, 5},
                                           Size{7000, -5}, Size{2, 0}, Size{0, 3}));

struct Damage {
    const char* what;
    std::function<void(Bytes&)> apply;
    MemoryDecode::Stop stop;
    Error refusal;
};

TEST(Refusals, FirstCheckFailedNamesTheError) {
    using S = MemoryDecode::Stop;
    const Damage cases[] = {
        {"signature", [](Bytes& f) { f[1] = 'A'; }, S::Refused, Error::FileHeader},
        {"file header cut", [](Bytes& f) { f.resize(13); }, S::Refused, Error::FileHeader},
        {"size field cut", [](Bytes& f) { f.resize(17); }, S::Refused, Error::DibHeader},
        {"core header", [](Bytes& f) { put_le(f, 14, 12, 4); }, S::Refused, Error::HeaderKind},
        {"info header cut", [](Bytes& f) { f.resize(53); }, S::Unpack, Error{}},
        {"planes", [](Bytes& f) { put_le(f, 26, 2, 2); }, S::Refused, Error::PixelFormat},
        {"32 bits", [](Bytes& f) { put_le(f, 28, 32, 2); }, S::Refused, Error::PixelFormat},
        {"compressed", [](Bytes& f) { put_le(f, 30, 1, 4); }, S::Refused, Error::PixelFormat},
        {"negative width", [](Bytes& f) { put_le(f, 18, uint32_t(-2), 4); }, S::Refused, Error::Width},
        {"offset past the end", [](Bytes& f) { put_le(f, 10, 1000, 4); }, S::Refused, Error::Incomplete},
    };
    for (const Damage& c : cases) {
        Bytes file = file_of(2, 2, 7);
        c.apply(file);
        for (const bool stream : {false, true}) {
            const MemoryDecode d = decode_memory(file, stream);
            EXPECT_EQ(d.stop, c.stop) << c.what << " " << stream;
            if (c.stop == S::Refused) {
                EXPECT_EQ(d.refusal, c.refusal) << c.what << " " << stream;
            }
        }
    }
}

}  // namespace
}  // namespace vextaro::bmp
