#include "core/geometry.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <utility>

namespace vextaro {
namespace {

TEST(RasterLength, MultipliesWithoutOverflow) {
    EXPECT_EQ(raster_length(2, 1, 3), 6);
    EXPECT_EQ(raster_length(0, 5, 3), 0);
    EXPECT_EQ(raster_length(-1, -1, 3), 3);
    EXPECT_EQ(raster_length(-1, 1, 3), -3);
    EXPECT_EQ(raster_length(INT32_MAX, INT32_MAX, 1), int64_t{INT32_MAX} * INT32_MAX);
    EXPECT_EQ(raster_length(INT32_MIN, INT32_MIN, 1), int64_t{1} << 62);
}

TEST(RasterLength, ReportsProductsBeyondSixtyFourBits) {
    EXPECT_FALSE(raster_length(INT32_MAX, INT32_MAX, 3).has_value());
    EXPECT_FALSE(raster_length(INT32_MIN, INT32_MIN, 3).has_value());
    EXPECT_FALSE(raster_length(INT32_MIN, INT32_MAX, 3).has_value());
}

TEST(InBounds, AcceptsExactlyTheRaster) {
    const int32_t w = 5, h = 4;
    int inside = 0;
    for (int64_t y = -2; y < h + 2; ++y)
        for (int64_t x = -2; x < w + 2; ++x) inside += in_bounds(x, y, w, h);
    EXPECT_EQ(inside, w * h);
    for (auto [x, y] : {std::pair<int64_t, int64_t>{0, 0}, {w - 1, h - 1}}) EXPECT_TRUE(in_bounds(x, y, w, h));
    for (auto [x, y] : {std::pair<int64_t, int64_t>{-1, 0}, {0, -1}, {w, 0}, {0, h}, {INT64_MIN, 0}})
        EXPECT_FALSE(in_bounds(x, y, w, h)) << x << "," << y;
    EXPECT_FALSE(in_bounds(0, 0, -1, -1));
    EXPECT_FALSE(in_bounds(0, 0, 0, 5));
}

TEST(PixelOffset, RowMajorThreeBytesPerPixel) {
    int64_t expected = 0;
    for (int64_t y = 0; y < 4; ++y)
        for (int64_t x = 0; x < 5; ++x, expected += 3) EXPECT_EQ(pixel_offset(x, y, 5, 3), expected);
}

TEST(PixelOffset, ReportsOverflowInsteadOfWrapping) {
    EXPECT_EQ(pixel_offset(INT32_MAX - 1, 1 << 20, INT32_MAX, 3), ((int64_t{INT32_MAX} << 20) + INT32_MAX - 1) * 3);
    EXPECT_FALSE(pixel_offset(INT32_MAX - 1, INT32_MAX - 1, INT32_MAX, 3).has_value());
    EXPECT_FALSE(pixel_offset(0, INT64_MAX, 2, 3).has_value());
}

}  // namespace
}  // namespace vextaro
