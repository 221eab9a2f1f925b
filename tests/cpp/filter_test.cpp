#include "png/filter.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <span>
#include <tuple>
#include <vector>

#include "png/unfilter.hpp"
#include "tests/cpp/reference_filters.hpp"
#include "tests/cpp/test_bytes.hpp"

namespace vextaro::png {
namespace {

using testing::Bytes;
using testing::kGuard;
using testing::neighbour_rows;
using testing::random_bytes;
using testing::reference_filter;

// Room for the two RGBA rows encode_scanlines assembles.
Bytes rows(size_t width) { return Bytes(2 * width * 4); }

// Runs filter_row into a buffer with a guard byte after it, which must survive.
Bytes run_filter(int filter, const Bytes& raw, std::span<const uint8_t> previous, int bpp) {
    Bytes out(raw.size() + 1, kGuard);
    filter_row(static_cast<uint8_t>(filter), raw, previous, out.data(), bpp);
    EXPECT_EQ(out.back(), kGuard) << "wrote past the row";
    out.pop_back();
    return out;
}

class FilterRow : public ::testing::TestWithParam<std::tuple<int, size_t>> {};

TEST_P(FilterRow, MatchesTheReference) {
    const auto [bpp, width] = GetParam();
    for (int filter = 0; filter < kFilterTypes; ++filter) {
        SCOPED_TRACE("filter " + std::to_string(filter));
        std::mt19937 rng(static_cast<unsigned>(bpp * 1000 + width * 10 + filter));
        const Bytes raw = random_bytes(width * bpp, rng), up = random_bytes(width * bpp, rng);
        const Bytes zeros(width * bpp, 0);
        EXPECT_EQ(run_filter(filter, raw, {}, bpp), reference_filter(filter, raw, zeros, bpp)) << "top row";
        EXPECT_EQ(run_filter(filter, raw, up, bpp), reference_filter(filter, raw, up, bpp)) << "with a row above";
    }
}

INSTANTIATE_TEST_SUITE_P(Widths, FilterRow,
                         ::testing::Combine(::testing::Values(3, 4), ::testing::Range<size_t>(0, 66)));

// Every (left, up, upper-left) triple, for the vectorised loops.
TEST(FilterRow, EveryNeighbourTriple) {
    for (int bpp : {3, 4})
        for (int filter : {3, 4})
            for (int a0 = 0; a0 < 256; a0 += bpp) {
                const auto [up, raw] = neighbour_rows(bpp, a0);
                Bytes out(raw.size());
                filter_row(static_cast<uint8_t>(filter), raw, up, out.data(), bpp);
                const Bytes want = reference_filter(filter, raw, up, bpp);
                const auto [got, expected] = std::mismatch(out.begin(), out.end(), want.begin());
                ASSERT_TRUE(got == out.end())
                    << "bpp " << bpp << " filter " << filter << " byte " << (got - out.begin()) << ": " << int{*got}
                    << ", want " << int{*expected};
            }
}

TEST(FilterRow, KnownValues) {
    // 0x05 - 0xFF wraps to 0x06.
    EXPECT_EQ(run_filter(1, {0xFF, 0, 0, 0x05, 0, 0}, {}, 3), Bytes({0xFF, 0, 0, 0x06, 0, 0}));
    EXPECT_EQ(run_filter(1, {0xFF, 0, 0, 0, 0x05, 0, 0, 0}, {}, 4), Bytes({0xFF, 0, 0, 0, 0x06, 0, 0, 0}));
}

struct Image {
    Bytes rgb, alpha, filters;
};

Image random_image(size_t width, size_t height, std::mt19937& rng) {
    Image im{random_bytes(width * height * 3, rng), random_bytes(width * height, rng), {}};
    std::uniform_int_distribution<int> any_filter(0, kFilterTypes - 1);
    for (size_t y = 0; y < height; ++y) im.filters.push_back(static_cast<uint8_t>(any_filter(rng)));
    return im;
}

// Scanlines built row by row with the reference filter.
Bytes reference_scanlines(const Image& im, size_t width, size_t height, int bpp, const Bytes& filters) {
    Bytes out, up(width * bpp, 0);
    for (size_t y = 0; y < height; ++y) {
        Bytes raw;
        for (size_t x = 0; x < width; ++x) {
            for (int k = 0; k < 3; ++k) raw.push_back(im.rgb[(y * width + x) * 3 + k]);
            if (bpp == 4) raw.push_back(im.alpha[y * width + x]);
        }
        const Bytes filtered = reference_filter(filters[y], raw, up, bpp);
        out.push_back(filters[y]);
        out.insert(out.end(), filtered.begin(), filtered.end());
        up = raw;
    }
    return out;
}

class EncodeScanlines : public ::testing::TestWithParam<std::tuple<int, size_t, size_t>> {};

TEST_P(EncodeScanlines, RoundTripsThroughReconstruction) {
    const auto [bpp, width, height] = GetParam();
    for (int mode = 0; mode <= kFilterTypes + 1; ++mode) {  // one type throughout, then mixed, then null
        SCOPED_TRACE("mode " + std::to_string(mode));
        std::mt19937 rng(static_cast<unsigned>(bpp * 100000 + width * 100 + height * 10 + mode));
        Image im = random_image(width, height, rng);
        if (mode < kFilterTypes) std::fill(im.filters.begin(), im.filters.end(), static_cast<uint8_t>(mode));
        const bool null_filters = mode == kFilterTypes + 1;
        const Bytes want_filters = null_filters ? Bytes(height, 0) : im.filters;

        const size_t size = height * (1 + width * bpp);
        Bytes out(size + 1, kGuard);
        const auto bad = encode_scanlines(im.rgb.data(), bpp == 4 ? im.alpha.data() : nullptr, width, height, bpp,
                                          null_filters ? nullptr : im.filters.data(), out.data(), rows(width).data());
        EXPECT_FALSE(bad.has_value());
        EXPECT_EQ(out.back(), kGuard) << "wrote past the scanlines";
        out.pop_back();
        EXPECT_EQ(out, reference_scanlines(im, width, height, bpp, want_filters));

        Bytes filters(height), alpha(width * height);
        ASSERT_FALSE(reconstruct_image(out, width, height, bpp, filters.data(), alpha.data()).has_value());
        EXPECT_EQ(Bytes(out.begin(), out.begin() + im.rgb.size()), im.rgb);
        EXPECT_EQ(filters, want_filters);
        if (bpp == 4) {
            EXPECT_EQ(alpha, im.alpha);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, EncodeScanlines,
                         ::testing::Combine(::testing::Values(3, 4), ::testing::Values<size_t>(0, 1, 2, 7, 33),
                                            ::testing::Values<size_t>(0, 1, 2, 5)));

TEST(EncodeScanlines, KnownValues) {
    const uint8_t rgb[] = {10, 20, 30}, alpha[] = {255};
    Bytes out(4);
    EXPECT_FALSE(encode_scanlines(rgb, nullptr, 1, 1, 3, nullptr, out.data(), nullptr).has_value());
    EXPECT_EQ(out, Bytes({0x00, 0x0A, 0x14, 0x1E}));
    out.assign(5, 0);
    EXPECT_FALSE(encode_scanlines(rgb, alpha, 1, 1, 4, nullptr, out.data(), rows(1).data()).has_value());
    EXPECT_EQ(out, Bytes({0x00, 0x0A, 0x14, 0x1E, 0xFF}));
}

TEST(EncodeScanlines, StopsAtTheFirstUnknownFilter) {
    const size_t width = 5, height = 4;
    for (int bpp : {3, 4}) {
        std::mt19937 rng(static_cast<unsigned>(bpp));
        const Image im = random_image(width, height, rng);
        const Bytes good = reference_scanlines(im, width, height, bpp, im.filters);
        const size_t line = 1 + width * bpp;
        for (int filter : {5, 6, 128, 255})
            for (size_t row : {size_t{0}, size_t{1}, height - 1}) {
                SCOPED_TRACE("filter " + std::to_string(filter) + " row " + std::to_string(row));
                Bytes filters = im.filters;
                filters[row] = static_cast<uint8_t>(filter);
                if (row + 1 < height) filters[row + 1] = 255;  // a later bad row must not be the one reported
                Bytes out(height * line + 1, kGuard);
                const auto bad = encode_scanlines(im.rgb.data(), im.alpha.data(), width, height, bpp, filters.data(),
                                                  out.data(), rows(width).data());
                ASSERT_TRUE(bad.has_value());
                EXPECT_EQ(bad->row, row);
                EXPECT_EQ(bad->filter, filter);
                EXPECT_TRUE(std::equal(good.begin(), good.begin() + row * line, out.begin()));
                EXPECT_TRUE(std::all_of(out.begin() + row * line, out.end(), [](uint8_t b) { return b == kGuard; }))
                    << "wrote from the bad row on";
            }
    }
}

}  // namespace
}  // namespace vextaro::png
