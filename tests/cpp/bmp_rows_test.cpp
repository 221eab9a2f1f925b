#include "bmp/rows.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace vextaro::bmp {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(RowStride, SmallestMultipleOfFourHoldingTheRow) {
    for (uint32_t width : {0u, 1u, 2u, 3u, 4u, 5u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        // Computed in 64 bits here, so a 32-bit wrap in the kernel shows up.
        const uint64_t bytes = uint64_t{width} * 3;
        const uint64_t stride = row_stride(width);
        EXPECT_EQ(stride % 4, 0u) << width;
        EXPECT_GE(stride, bytes) << width;
        EXPECT_LT(stride - bytes, 4u) << width;
    }
}

TEST(BgrToRgb, SeparateAndInPlace) {
    std::mt19937 rng(2024);
    std::uniform_int_distribution<int> byte(0, 255);
    // Every width up to 65 pixels: the vector path's whole blocks and every tail.
    for (size_t width = 0; width <= 65; ++width) {
        SCOPED_TRACE(width);
        Bytes bgr(width * 3);
        for (auto& b : bgr) b = static_cast<uint8_t>(byte(rng));
        Bytes want;
        for (size_t x = 0; x < width; ++x)
            for (int k = 2; k >= 0; --k) want.push_back(bgr[x * 3 + k]);

        Bytes rgb(width * 3 + 1, 0xA5);  // the extra byte must survive
        bgr_to_rgb(bgr.data(), width, rgb.data());
        EXPECT_EQ(Bytes(rgb.begin(), rgb.end() - 1), want);
        EXPECT_EQ(rgb.back(), 0xA5);

        Bytes same = bgr;
        bgr_to_rgb(same.data(), width, same.data());
        EXPECT_EQ(same, want);
    }
}

TEST(PixelArray, WrittenBottomUpPaddedAndReadBack) {
    const Bytes rgb = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};  // 2 x 2, top row first
    Bytes stored(16, 0xEE);
    write_rows(rgb.data(), 2, 2, 0, 1, stored.data());  // in two blocks, as the writer does
    write_rows(rgb.data(), 2, 2, 1, 1, stored.data() + 8);
    EXPECT_EQ(stored, (Bytes{9, 8, 7, 12, 11, 10, 0, 0, 3, 2, 1, 6, 5, 4, 0, 0}));
    Bytes back(12);
    read_rows(stored.data(), 2, 8, 2, true, back.data());
    EXPECT_EQ(back, rgb);
    read_rows(stored.data(), 2, 8, 2, false, back.data());  // a top-down file: stored order is image order
    EXPECT_EQ(back, (Bytes{7, 8, 9, 10, 11, 12, 1, 2, 3, 4, 5, 6}));
}

}  // namespace
}  // namespace vextaro::bmp
