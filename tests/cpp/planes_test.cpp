#include "png/planes.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <tuple>
#include <vector>

#include "png/planes_avx2.hpp"
#include "png/planes_ssse3.hpp"
#include "png/unfilter_avx2.hpp"
#include "simd/cpu.hpp"
#include "tests/cpp/test_bytes.hpp"

namespace vextaro::png {
namespace {

using testing::Bytes;
using testing::kGuard;
using testing::random_bytes;

// Expected planes, taken pixel by pixel from the interleaved row.
void reference_split(const Bytes& row, size_t width, int bpp, Bytes& rgb, Bytes& alpha) {
    rgb.clear();
    alpha.clear();
    for (size_t x = 0; x < width; ++x) {
        for (int k = 0; k < 3; ++k) rgb.push_back(row[x * bpp + k]);
        if (bpp == 4) alpha.push_back(row[x * bpp + 3]);
    }
}

class SplitPixels : public ::testing::TestWithParam<std::tuple<int, size_t>> {};

TEST_P(SplitPixels, SeparateBuffers) {
    const auto [bpp, width] = GetParam();
    std::mt19937 rng(static_cast<unsigned>(bpp * 1000 + width));
    const Bytes row = random_bytes(width * bpp, rng);
    Bytes want_rgb, want_alpha;
    reference_split(row, width, bpp, want_rgb, want_alpha);

    // One guard byte past each plane catches writes beyond it.
    Bytes rgb(width * 3 + 1, kGuard), alpha(width + 1, kGuard);
    split_pixels(row.data(), width, bpp, rgb.data(), bpp == 4 ? alpha.data() : nullptr);
    EXPECT_EQ(Bytes(rgb.begin(), rgb.end() - 1), want_rgb);
    EXPECT_EQ(rgb.back(), kGuard);
    if (bpp == 4) {
        EXPECT_EQ(Bytes(alpha.begin(), alpha.end() - 1), want_alpha);
    }
    EXPECT_EQ(alpha.back(), kGuard);
}

TEST_P(SplitPixels, InPlaceAtOrBeforeTheRow) {
    const auto [bpp, width] = GetParam();
    std::mt19937 rng(static_cast<unsigned>(bpp * 1000 + width + 7));
    constexpr size_t kMaxShift = 8;
    for (size_t shift : {0, 1, 2, 3, 4, 8}) {
        SCOPED_TRACE(shift);
        const Bytes row = random_bytes(width * bpp, rng);
        Bytes want_rgb, want_alpha;
        reference_split(row, width, bpp, want_rgb, want_alpha);

        // The row sits at kMaxShift; the RGB plane starts `shift` bytes earlier.
        Bytes buffer(kMaxShift + row.size(), kGuard);
        std::copy(row.begin(), row.end(), buffer.begin() + kMaxShift);
        Bytes alpha(width, kGuard);
        uint8_t* rgb = buffer.data() + kMaxShift - shift;
        split_pixels(buffer.data() + kMaxShift, width, bpp, rgb, bpp == 4 ? alpha.data() : nullptr);
        EXPECT_EQ(Bytes(rgb, rgb + width * 3), want_rgb);
        for (size_t i = 0; i < kMaxShift - shift; ++i) EXPECT_EQ(buffer[i], kGuard) << "before the plane, at " << i;
        if (bpp == 4) {
            EXPECT_EQ(alpha, want_alpha);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Widths, SplitPixels,
                         ::testing::Combine(::testing::Values(3, 4), ::testing::Range<size_t>(0, 66)));

// Every RGBA split this CPU has, not only the one split_pixels picks: in place
// at each shift and into separate planes, with a guard byte after each plane.
TEST(SplitRgbaKernels, EachKernelMatchesTheReference) {
    using Split = void (*)(const uint8_t*, size_t, uint8_t*, uint8_t*);
    std::vector<std::pair<const char*, Split>> kernels;
    if constexpr (simd::kX86Dispatch) {
        if (simd::cpu().ssse3) kernels.emplace_back("ssse3", ssse3::split_rgba);
        if (simd::cpu().avx2) kernels.emplace_back("avx2", avx2::split_rgba);
    }
    if (kernels.empty()) GTEST_SKIP() << "no vector RGBA split on this CPU";
    std::mt19937 rng(4242);
    for (const auto& [name, split] : kernels) {
        for (size_t width = 0; width < 70; ++width) {
            for (size_t shift : {0, 1, 5, 9, 40}) {
                SCOPED_TRACE(::testing::Message() << name << " width " << width << " shift " << shift);
                const Bytes row = random_bytes(width * 4, rng);
                Bytes want_rgb, want_alpha;
                reference_split(row, width, 4, want_rgb, want_alpha);
                Bytes buffer(40 + row.size() + 1, kGuard), alpha(width + 1, kGuard);
                std::copy(row.begin(), row.end(), buffer.begin() + 40);
                uint8_t* rgb = buffer.data() + 40 - shift;
                split(buffer.data() + 40, width, rgb, alpha.data());
                EXPECT_EQ(Bytes(rgb, rgb + width * 3), want_rgb);
                EXPECT_EQ(Bytes(alpha.begin(), alpha.end() - 1), want_alpha);
                EXPECT_EQ(alpha.back(), kGuard);
                for (size_t i = 0; i < 40 - shift; ++i) ASSERT_EQ(buffer[i], kGuard) << "before the plane, at " << i;
                Bytes separate(width * 3 + 1, kGuard);
                split(row.data(), width, separate.data(), alpha.data());
                EXPECT_EQ(Bytes(separate.begin(), separate.end() - 1), want_rgb);
                EXPECT_EQ(separate.back(), kGuard);
            }
        }
    }
}

class JoinPixels : public SplitPixels {};

TEST_P(JoinPixels, InverseOfSplit) {
    const auto [bpp, width] = GetParam();
    std::mt19937 rng(static_cast<unsigned>(bpp * 1000 + width + 13));
    const Bytes rgb = random_bytes(width * 3, rng), alpha = random_bytes(width, rng);

    // Planes to a row: splitting it by the reference must give the planes back.
    Bytes row(width * bpp + 1, kGuard);
    join_pixels(rgb.data(), bpp == 4 ? alpha.data() : nullptr, width, bpp, row.data());
    EXPECT_EQ(row.back(), kGuard);
    row.pop_back();
    Bytes got_rgb, got_alpha;
    reference_split(row, width, bpp, got_rgb, got_alpha);
    EXPECT_EQ(got_rgb, rgb);
    if (bpp == 4) {
        EXPECT_EQ(got_alpha, alpha);
    }

    // A row to planes and back.
    const Bytes original = random_bytes(width * bpp, rng);
    Bytes split_rgb(width * 3), split_alpha(width), joined(width * bpp);
    split_pixels(original.data(), width, bpp, split_rgb.data(), split_alpha.data());
    join_pixels(split_rgb.data(), split_alpha.data(), width, bpp, joined.data());
    EXPECT_EQ(joined, original);
}

INSTANTIATE_TEST_SUITE_P(Widths, JoinPixels,
                         ::testing::Combine(::testing::Values(3, 4), ::testing::Range<size_t>(0, 66)));

}  // namespace
}  // namespace vextaro::png
