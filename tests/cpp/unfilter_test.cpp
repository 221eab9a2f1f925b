#include "png/unfilter.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <random>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "png/row_kernels.hpp"
#include "png/unfilter_avx2.hpp"
#include "png/unfilter_neon.hpp"
#include "png/unfilter_sse2.hpp"
#include "png/unfilter_sse41.hpp"
#include "simd/cpu.hpp"
#include "tests/cpp/reference_filters.hpp"
#include "tests/cpp/test_bytes.hpp"

namespace vextaro::png {
namespace {

using testing::Bytes;
using testing::kGuard;
using testing::neighbour_rows;
using testing::predict;
using testing::random_bytes;
using testing::reference_filter;
constexpr int kMixed = kFilterTypes;  // stands for a random filter type per row
// Runs of every length from 1 up, each after one Up row: the row groups of
// every size and parity, where they start and end; Paeth rows alone, or
// Average, Sub and Paeth in turn.
constexpr int kPaethRuns = kFilterTypes + 1, kMixedRuns = kFilterTypes + 2;

int filter_of_row(int mode, size_t y, std::mt19937& rng) {
    if (mode == kMixed) return std::uniform_int_distribution<int>(0, kFilterTypes - 1)(rng);
    if (mode < kMixed) return mode;
    size_t start = 0;
    for (size_t run = 1; start + run < y; ++run) start += run + 1;
    if (y == start) return 2;
    return mode == kPaethRuns ? 4 : "\3\1\4"[(y - start - 1) % 3];
}

std::string mode_name(int mode) {
    if (mode == kMixed) return "mixed filters";
    if (mode == kPaethRuns) return "Paeth runs";
    if (mode == kMixedRuns) return "mixed runs";
    return "filter " + std::to_string(mode);
}

Bytes reference_unfilter(int filter, Bytes row, const Bytes& up, size_t bpp) {
    for (size_t i = 0; i < row.size(); ++i) row[i] = static_cast<uint8_t>(row[i] + predict(filter, row, up, i, bpp));
    return row;
}

struct Encoded {
    std::vector<Bytes> raw, filtered;
    Bytes filters, scanlines;
};

Encoded encode(size_t width, size_t height, int bpp, int mode, std::mt19937& rng) {
    Encoded e;
    Bytes up(width * bpp, 0);  // the top row's neighbour above is all zeros
    for (size_t y = 0; y < height; ++y) {
        const int filter = filter_of_row(mode, y, rng);
        e.raw.push_back(random_bytes(width * bpp, rng));
        e.filtered.push_back(reference_filter(filter, e.raw.back(), up, bpp));
        e.filters.push_back(static_cast<uint8_t>(filter));
        e.scanlines.push_back(static_cast<uint8_t>(filter));
        e.scanlines.insert(e.scanlines.end(), e.filtered.back().begin(), e.filtered.back().end());
        up = e.raw.back();
    }
    return e;
}

class Unfilter : public ::testing::TestWithParam<std::tuple<int, size_t, size_t>> {};

TEST_P(Unfilter, RestoresWhatTheReferenceFiltered) {
    const auto [bpp, width, height] = GetParam();
    for (int mode = 0; mode <= kMixedRuns; ++mode) {
        SCOPED_TRACE(mode_name(mode));
        std::mt19937 rng(static_cast<unsigned>(bpp * 100000 + width * 100 + height * 10 + mode));
        const Encoded e = encode(width, height, bpp, mode, rng);
        const Bytes zeros(width * bpp, 0);

        for (size_t y = 0; y < height; ++y) {
            SCOPED_TRACE("row " + std::to_string(y));
            const Bytes& up = y ? e.raw[y - 1] : zeros;
            ASSERT_EQ(reference_unfilter(e.filters[y], e.filtered[y], up, bpp), e.raw[y]) << "reference is broken";
            Bytes row = e.filtered[y];
            unfilter_row(e.filters[y], row, y ? std::span<const uint8_t>(up) : std::span<const uint8_t>(), bpp);
            EXPECT_EQ(row, e.raw[y]);
            if (y == 0 && width > 0) {  // an explicit row of zeros must act like no row at all
                Bytes same = e.filtered[y];
                unfilter_row(e.filters[y], same, zeros, bpp);
                EXPECT_EQ(same, e.raw[y]);
            }
        }

        Bytes image = e.scanlines;
        Bytes filters(height + 1, kGuard), alpha(width * height + 1, kGuard);
        const auto bad = reconstruct_image(image, width, height, bpp, filters.data(),
                                           bpp == 4 ? alpha.data() : nullptr);
        EXPECT_FALSE(bad.has_value());
        Bytes want_rgb, want_alpha;
        for (const Bytes& r : e.raw)
            for (size_t x = 0; x < width; ++x) {
                for (int k = 0; k < 3; ++k) want_rgb.push_back(r[x * bpp + k]);
                if (bpp == 4) want_alpha.push_back(r[x * bpp + 3]);
            }
        EXPECT_EQ(Bytes(image.begin(), image.begin() + want_rgb.size()), want_rgb);
        EXPECT_EQ(Bytes(filters.begin(), filters.end() - 1), e.filters);
        EXPECT_EQ(filters.back(), kGuard);
        if (bpp == 4) {
            EXPECT_EQ(Bytes(alpha.begin(), alpha.end() - 1), want_alpha);
        }
        EXPECT_EQ(alpha.back(), kGuard);
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, Unfilter,
                         ::testing::Combine(::testing::Values(3, 4), ::testing::Values<size_t>(0, 1, 2, 7, 33, 100),
                                            ::testing::Values<size_t>(0, 1, 2, 5, 60)));

TEST(UnfilterRow, AverageAddsBeforeTruncating) {
    for (int bpp : {3, 4}) {
        // With everything above at 255, a first pixel of 128 reconstructs to
        // 128 + 255 / 2 = 255; the zero residue after it then needs (255 + 255) / 2.
        const Bytes up(2 * bpp, 255);
        Bytes row(2 * bpp, 0);
        std::fill(row.begin(), row.begin() + bpp, 128);
        unfilter_row(3, row, up, bpp);
        EXPECT_EQ(row, Bytes(2 * bpp, 255)) << "bpp " << bpp;
    }
}

// The vector paths predict without paeth_predictor, so every neighbour triple
// goes through unfilter_row: each even pixel reconstructs to a below c, and the
// odd pixel after it is predicted from (a, b, c). Channel k uses a0 + k as a.
TEST(UnfilterRow, EveryNeighbourTriple) {
    for (int bpp : {3, 4})
        for (int filter : {3, 4})
            for (int a0 = 0; a0 < 256; a0 += bpp) {
                const auto [up, raw] = neighbour_rows(bpp, a0);
                Bytes row = reference_filter(filter, raw, up, bpp);
                unfilter_row(static_cast<uint8_t>(filter), row, up, bpp);
                const auto [got, want] = std::mismatch(row.begin(), row.end(), raw.begin());
                ASSERT_TRUE(got == row.end()) << "bpp " << bpp << " filter " << filter << " byte "
                                              << (got - row.begin()) << ": " << int{*got} << ", want " << int{*want};
            }
}

// A kernel of each pixel size.
template <class Kernel>
struct PerBpp {
    Kernel three, four;
    Kernel operator()(int bpp) const { return bpp == 3 ? three : four; }
};

// Each row-group kernel with the group sizes it takes, where this CPU runs it.
std::vector<std::pair<PerBpp<GroupKernel>, std::vector<size_t>>> group_kernels() {
    std::vector<std::pair<PerBpp<GroupKernel>, std::vector<size_t>>> kernels;
    if constexpr (sse2::kAvailable)
        kernels.push_back({{sse2::rows<3>, sse2::rows<4>}, {sse2::kRowsPerRegister, sse2::kMaxRowGroup}});
    if constexpr (neon::kAvailable)
        kernels.push_back({{neon::rows<3>, neon::rows<4>}, {neon::kRowsPerRegister, neon::kMaxRowGroup}});
    if constexpr (simd::kX86Dispatch) {
        if (simd::cpu().sse41)
            kernels.push_back({{sse41::rows<3>, sse41::rows<4>}, {sse41::kRowsPerRegister, sse41::kMaxRowGroup}});
        if (simd::cpu().avx2)
            kernels.push_back({{avx2::rows<3>, avx2::rows<4>}, {avx2::kRowsPerRegister, avx2::kMaxRowGroup}});
    }
    return kernels;
}

// The filter types of a group's rows: Paeth or Average alone, or Average, Sub
// and Paeth in turn, from the one `shift` names, so that each row meets each.
Bytes group_types(size_t count, int pattern) {
    Bytes types(count);
    for (size_t k = 0; k < count; ++k) types[k] = pattern < 2 ? "\4\3"[pattern] : "\3\1\4"[(k + pattern) % 3];
    return types;
}
constexpr int kGroupPatterns = 5;

// Runs a group of rows through a row-group kernel: `above` is the row above the
// group, `residues` its rows as filtered with `types`; returns them restored.
std::vector<Bytes> run_group(const Bytes& above, const std::vector<Bytes>& residues, const Bytes& types,
                             GroupKernel kernel) {
    // The rows lie in one buffer with guard bytes between them, a cache line more
    // than a filter byte: rows a multiple of 4 KiB apart would share cache sets,
    // where a group's steps crawl.
    const size_t n = above.size(), count = residues.size(), gap = 65, stride = n + gap;
    Bytes buffer(stride * count, kGuard);
    std::vector<uint8_t*> pointers;
    for (const Bytes& r : residues) {
        pointers.push_back(buffer.data() + pointers.size() * stride);
        std::copy(r.begin(), r.end(), pointers.back());
    }
    kernel(pointers.data(), types.data(), count, above.data(), n);
    std::vector<Bytes> rows;
    for (size_t k = 0; k < count; ++k) {
        rows.emplace_back(pointers[k], pointers[k] + n);
        EXPECT_EQ(Bytes(pointers[k] + n, pointers[k] + n + gap), Bytes(gap, kGuard))
            << "the group wrote past row " << k;
    }
    return rows;
}

// Each vector kernel called directly, whatever the dispatch would pick on this
// machine, against the reference on rows of every length up to 64 pixels.
TEST(VectorKernels, MatchTheReferenceOnEveryShortLength) {
    std::vector<std::pair<int, PerBpp<RowKernel>>> row_kernels;
    if constexpr (sse2::kAvailable)
        row_kernels.insert(row_kernels.end(), {{1, {sse2::sub<3>, sse2::sub<4>}},
                                               {3, {sse2::average<3>, sse2::average<4>}},
                                               {4, {sse2::paeth<3>, sse2::paeth<4>}}});
    if constexpr (simd::kX86Dispatch) {
        if (simd::cpu().sse41)
            row_kernels.insert(row_kernels.end(),
                               {{1, {sse41::sub<3>, sse41::sub<4>}}, {4, {sse41::paeth<3>, sse41::paeth<4>}}});
    }
    if (row_kernels.empty() && group_kernels().empty()) GTEST_SKIP() << "no vector kernels";
    for (int bpp : {3, 4})
        for (size_t width = 0; width <= 64; ++width) {
            SCOPED_TRACE("bpp " + std::to_string(bpp) + " width " + std::to_string(width));
            std::mt19937 rng(static_cast<unsigned>(bpp * 1000 + width));
            const size_t n = width * bpp;
            const Bytes up = random_bytes(n, rng), raw = random_bytes(n, rng);
            for (const auto& [filter, kernel] : row_kernels) {
                Bytes row = reference_filter(filter, raw, up, bpp);
                row.push_back(kGuard);
                kernel(bpp)(row.data(), up.data(), n);
                EXPECT_EQ(row.back(), kGuard) << "filter " << filter << " wrote past the row";
                row.pop_back();
                EXPECT_EQ(row, raw) << "filter " << filter;
            }
            for (const auto& [kernel, counts] : group_kernels())
                for (size_t count : counts)
                    for (int pattern = 0; pattern < kGroupPatterns; ++pattern) {
                        const Bytes types = group_types(count, pattern);
                        std::vector<Bytes> raws{up, raw}, residues;
                        while (raws.size() <= count) raws.push_back(random_bytes(n, rng));
                        for (size_t k = 1; k <= count; ++k)
                            residues.push_back(reference_filter(types[k - 1], raws[k], raws[k - 1], bpp));
                        const auto rows = run_group(up, residues, types, kernel(bpp));
                        for (size_t k = 0; k < count; ++k)
                            EXPECT_EQ(rows[k], raws[k + 1]) << count << " rows of pattern " << pattern << ", row " << k;
                    }
        }
}

// Runs `up` and `raw` through every group kernel and size with the filter types
// of the patterns given: the group's rows alternate between the two, in both
// phases, so that each row holds `raw` below `up` once.
void alternate_in_groups(const Bytes& up, const Bytes& raw, int bpp, std::initializer_list<int> patterns) {
    // Each filter type's residues of raw below up and of up below raw, for the
    // types the patterns use.
    std::vector<std::pair<Bytes, Bytes>> filtered(kFilterTypes);
    for (int pattern : patterns)
        for (uint8_t filter : group_types(3, pattern))
            if (filtered[filter].first.empty())
                filtered[filter] = {reference_filter(filter, raw, up, bpp), reference_filter(filter, up, raw, bpp)};
    for (int pattern : patterns)
        for (const auto& [kernel, counts] : group_kernels())
            for (size_t count : counts) {
                const Bytes types = group_types(count, pattern);
                for (size_t phase : {0, 1}) {
                    SCOPED_TRACE("pattern " + std::to_string(pattern) + ", " + std::to_string(count) + " rows, phase " +
                                 std::to_string(phase));
                    std::vector<Bytes> residues;
                    for (size_t k = 0; k < count; ++k)
                        residues.push_back(k % 2 == phase ? filtered[types[k]].first : filtered[types[k]].second);
                    const auto rows = run_group(phase ? raw : up, residues, types, kernel(bpp));
                    for (size_t k = 0; k < count; ++k) ASSERT_EQ(rows[k], k % 2 == phase ? raw : up) << "row " << k;
                }
            }
}

// Every row of a Paeth group meets every neighbour triple.
TEST(VectorKernels, PaethRowGroupsOnEveryNeighbourTriple) {
    if (group_kernels().empty()) GTEST_SKIP() << "no row-group kernels";
    for (int bpp : {3, 4})
        for (int a0 = 0; a0 < 256; a0 += bpp) {
            SCOPED_TRACE("bpp " + std::to_string(bpp) + " a0 " + std::to_string(a0));
            const auto [up, raw] = neighbour_rows(bpp, a0);
            alternate_in_groups(up, raw, bpp, {0});
        }
}

// Average depends on the left and upper neighbours alone: every pair of them in
// one pass, each odd pixel's left one running with the pair's index. In Average
// groups, and in mixed ones, whose rows take each type in turn.
TEST(VectorKernels, MixedRowGroupsOnEveryNeighbourPair) {
    if (group_kernels().empty()) GTEST_SKIP() << "no row-group kernels";
    for (int bpp : {3, 4}) {
        SCOPED_TRACE("bpp " + std::to_string(bpp));
        auto [up, raw] = neighbour_rows(bpp, 0);
        for (size_t i = 0; i < raw.size(); i += 2 * bpp)
            for (int k = 0; k < bpp; ++k) raw[i + k] = static_cast<uint8_t>(i / (2 * bpp) + k);
        alternate_in_groups(up, raw, bpp, {1, 2, 3, 4});
    }
}

TEST(ReconstructImage, ReportsTheFirstUnknownFilter) {
    const size_t width = 5, height = 4;
    for (int bpp : {3, 4}) {
        std::mt19937 rng(static_cast<unsigned>(bpp));
        const Encoded e = encode(width, height, bpp, kMixed, rng);
        const size_t line = 1 + width * bpp;
        for (int filter = kFilterTypes; filter <= 255; ++filter)
            for (size_t row : {size_t{0}, size_t{1}, height - 1}) {
                Bytes image = e.scanlines;
                image[row * line] = static_cast<uint8_t>(filter);
                if (row + 1 < height) image[(row + 1) * line] = 255;  // a later bad row must not be the one reported
                Bytes filters(height, kGuard), alpha(width * height);
                const auto bad = reconstruct_image(image, width, height, bpp, filters.data(), alpha.data());
                ASSERT_TRUE(bad.has_value()) << "filter " << filter << " row " << row;
                EXPECT_EQ(bad->row, row);
                EXPECT_EQ(bad->filter, filter);
                for (size_t y = 0; y < row; ++y) EXPECT_EQ(filters[y], e.filters[y]);
            }
    }
}

}  // namespace
}  // namespace vextaro::png
