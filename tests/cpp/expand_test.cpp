// The pieces of an expanded open: the pass geometry and sizes, reconstruction at
// every pixel size, the row expansion's scaling and transparency, the filter
// choice and the chunks an expanded image keeps.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "png/expand_row.hpp"
#include "png/expanded_format.hpp"
#include "png/filter_choice.hpp"
#include "png/unfilter_any.hpp"
#include "tests/cpp/reference_filters.hpp"
#include "tests/cpp/test_bytes.hpp"

namespace vextaro::png {
namespace {

using testing::Bytes;
using testing::random_bytes;
using testing::reference_filter;

Header header(int32_t width, int32_t height, int depth, int colour, int interlace) {
    return Header{width, height, depth, colour, 0, 0, interlace};
}

// Every pixel lands in exactly one pass, and the scanline bytes are those of the passes' rows.
TEST(ExpandedFormat, PassesCoverEveryPixelOnce) {
    for (int32_t w = 0; w <= 17; ++w)
        for (int32_t h = 0; h <= 17; ++h) {
            const Header hd = header(w, h, 2, 0, 1);
            const Passes p = passes_of(hd);
            std::vector<int> seen(size_t(w) * size_t(h), 0);
            uint64_t bytes = 0;
            for (int k = 0; k < p.count; ++k) {
                const Pass& s = p.pass[k];
                for (size_t r = 0; r < s.height; ++r)
                    for (size_t c = 0; c < s.width; ++c) ++seen.at((s.y0 + r * s.dy) * size_t(w) + s.x0 + c * s.dx);
                bytes += s.height * ((s.width * 2 + 7) / 8 + 1);
            }
            EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), int64_t(seen.size())) << w << "x" << h;
            EXPECT_EQ(expanded_scanline_bytes(hd, UINT64_MAX), bytes) << w << "x" << h;
        }
}

TEST(ExpandedFormat, SizesBeyondTheLimitAreRefused) {
    // A 1-bit grey image whose scanlines are small but whose RGB pixels are not.
    const Header big = header(INT32_MAX, INT32_MAX, 1, 0, 0);
    EXPECT_FALSE(expanded_scanline_bytes(big, uint64_t(INT64_MAX)));
    const Header wide = header(1000, 1000, 1, 0, 1);
    EXPECT_FALSE(expanded_scanline_bytes(wide, 3000000 - 1));
    EXPECT_TRUE(expanded_scanline_bytes(wide, 3000000));
    EXPECT_FALSE(expanded_scanline_bytes(header(-1, 3, 8, 0, 0), UINT64_MAX));
}

TEST(ExpandedFormat, RefusalsInOrder) {
    ColourChunks none, palette;
    palette.keep_palette(Bytes(6, 0));
    EXPECT_EQ(expansion_refusal(Header{}, none), Error::IncompleteHeader);
    EXPECT_EQ(expansion_refusal(header(1, 1, 16, 3, 0), palette), Error::InvalidDepth);
    EXPECT_EQ(expansion_refusal(header(1, 1, 4, 2, 0), none), Error::InvalidDepth);
    EXPECT_EQ(expansion_refusal(header(1, 1, 8, 3, 2), palette), Error::Configuration);
    EXPECT_EQ(expansion_refusal(header(1, 1, 8, 3, 0), none), Error::MissingPalette);
    ColourChunks odd;
    odd.keep_palette(Bytes(4, 0));
    EXPECT_EQ(expansion_refusal(header(1, 1, 8, 3, 0), odd), Error::BadPalette);
    ColourChunks grey_key;
    grey_key.keep_transparency(Bytes(6, 0));
    EXPECT_EQ(expansion_refusal(header(1, 1, 8, 0, 0), grey_key), Error::BadTransparency);
    EXPECT_EQ(expansion_refusal(header(1, 1, 16, 2, 1), grey_key), std::nullopt);
    EXPECT_EQ(expansion_refusal(header(1, 1, 1, 3, 1), palette), std::nullopt);
}

TEST(ExpandedFormat, KeptChunks) {
    auto kept = [](const char* type) { return kept_when_expanded({reinterpret_cast<const uint8_t*>(type), 4}); };
    for (const char* type : {"IHDR", "IDAT", "IEND", "tEXt", "zTXt", "iTXt", "pHYs", "tIME", "gAMA", "cHRM", "sRGB",
                             "iCCP", "eXIf", "prVt", "abcd"})
        EXPECT_TRUE(kept(type)) << type;
    for (const char* type : {"PLTE", "tRNS", "bKGD", "sBIT", "hIST", "sPLT", "prVT", "ABCD"})
        EXPECT_FALSE(kept(type)) << type;
}

// Filtered by the reference, reconstructed by unfilter_any: the row comes back.
TEST(UnfilterAny, EveryPixelSizeAndFilter) {
    std::mt19937 rng(11);
    for (int bpp : {1, 2, 3, 4, 6, 8})
        for (size_t n : {size_t(0), size_t(1), size_t(7), size_t(48), size_t(97)})
            for (int filter = 0; filter < 5; ++filter) {
                const Bytes raw = random_bytes(n, rng), up = random_bytes(n, rng), zeros(n, 0);
                for (bool top : {true, false}) {
                    Bytes row = reference_filter(filter, raw, top ? zeros : up, size_t(bpp));
                    unfilter_any(uint8_t(filter), row, top ? std::span<const uint8_t>() : up, bpp);
                    EXPECT_EQ(row, raw) << "bpp " << bpp << " n " << n << " filter " << filter << " top " << top;
                }
            }
}

// The sum of |filtered byte| as a signed byte for each type, the least winning, ties to the lower type.
TEST(FilterChoice, LeastCostAgainstTheReference) {
    std::mt19937 rng(5);
    for (int bpp : {3, 4})
        for (int trial = 0; trial < 200; ++trial) {
            const size_t n = size_t(bpp) * (trial % 23);
            Bytes raw = random_bytes(n, rng), up = random_bytes(n, rng);
            // Smooth rows, so that every type wins somewhere.
            if (trial % 2)
                for (size_t i = 0; i < n; ++i) raw[i] = uint8_t(up[i] / 4 + i), up[i] = uint8_t(up[i] / 4 + i / 2);
            const bool top = trial % 5 == 0;
            const Bytes above = top ? Bytes(n, 0) : up;
            int best = 0;
            long best_cost = -1;
            for (int f = 0; f < 5; ++f) {
                long cost = 0;
                for (uint8_t v : reference_filter(f, raw, above, size_t(bpp))) cost += std::abs(int(int8_t(v)));
                if (best_cost < 0 || cost < best_cost) best = f, best_cost = cost;
            }
            Bytes scratch(n);
            EXPECT_EQ(least_cost_filter(raw.data(), top ? nullptr : up.data(), n, bpp, scratch.data()), best) << trial;
        }
}

struct Expanded {
    Bytes rgb, alpha;
    bool ok;
};

Expanded expand(const Header& h, const ColourChunks& c, const Bytes& row, size_t count, size_t step = 1) {
    Expanded e{Bytes(3 * count * step, 0xEE), Bytes(count * step, 0xEE), false};
    e.ok = RowExpander(h, c).expand(row.data(), count, e.rgb.data(), e.alpha.data(), step);
    return e;
}

TEST(RowExpander, ScalesPackedGreyExactlyAndKeysAtTheFilesDepth) {
    ColourChunks key;
    key.keep_transparency(Bytes{0, 2});
    // 2-bit samples 3, 2, 1, 0: the key 2 matches the second only.
    const Expanded e = expand(header(4, 1, 2, 0, 0), key, Bytes{0b11100100}, 4);
    ASSERT_TRUE(e.ok);
    EXPECT_EQ(e.rgb, (Bytes{255, 255, 255, 170, 170, 170, 85, 85, 85, 0, 0, 0}));
    EXPECT_EQ(e.alpha, (Bytes{255, 0, 255, 255}));
    const Expanded nibbles = expand(header(2, 1, 4, 0, 0), ColourChunks{}, Bytes{0x1F}, 2);
    EXPECT_EQ(nibbles.rgb, (Bytes{17, 17, 17, 255, 255, 255}));
}

TEST(RowExpander, SixteenBitKeepsTheHighByteAndComparesAllSixteen) {
    ColourChunks key;
    key.keep_transparency(Bytes{0x12, 0x34, 0, 0, 0xAB, 0xCD});
    const Bytes row{0x12, 0x34, 0, 0, 0xAB, 0xCD, 0x12, 0x35, 0, 0, 0xAB, 0xCD};
    const Expanded e = expand(header(2, 1, 16, 2, 0), key, row, 2);
    EXPECT_EQ(e.rgb, (Bytes{0x12, 0, 0xAB, 0x12, 0, 0xAB}));
    EXPECT_EQ(e.alpha, (Bytes{0, 255}));
}

TEST(RowExpander, PaletteAlphaPerEntryAndIndicesPastThePalette) {
    ColourChunks c;
    c.keep_palette(Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9});
    c.keep_transparency(Bytes{10});
    // Steps of two pixels, as in an Adam7 pass: the pixels between are left alone.
    const Expanded e = expand(header(3, 1, 8, 3, 0), c, Bytes{2, 0, 1}, 3, 2);
    ASSERT_TRUE(e.ok);
    EXPECT_EQ(e.rgb, (Bytes{7, 8, 9, 0xEE, 0xEE, 0xEE, 1, 2, 3, 0xEE, 0xEE, 0xEE, 4, 5, 6, 0xEE, 0xEE, 0xEE}));
    EXPECT_EQ(e.alpha, (Bytes{255, 0xEE, 10, 0xEE, 255, 0xEE}));
    EXPECT_FALSE(expand(header(1, 1, 8, 3, 0), c, Bytes{3}, 1).ok);
    EXPECT_FALSE(expand(header(8, 1, 1, 3, 0), ColourChunks{[] {
                            ColourChunks one;
                            one.keep_palette(Bytes{1, 2, 3});
                            return one;
                        }()},
                        Bytes{0x01}, 8)
                     .ok);
}

TEST(RowExpander, GreyAlphaAndRgbaTakeTheirAlphaChannel) {
    const Expanded ga = expand(header(1, 1, 16, 4, 0), ColourChunks{}, Bytes{0x80, 1, 0x40, 2}, 1);
    EXPECT_EQ(ga.rgb, (Bytes{0x80, 0x80, 0x80}));
    EXPECT_EQ(ga.alpha, (Bytes{0x40}));
    const Expanded rgba = expand(header(1, 1, 8, 6, 0), ColourChunks{}, Bytes{1, 2, 3, 4}, 1);
    EXPECT_EQ(rgba.rgb, (Bytes{1, 2, 3}));
    EXPECT_EQ(rgba.alpha, (Bytes{4}));
}

}  // namespace
}  // namespace vextaro::png
