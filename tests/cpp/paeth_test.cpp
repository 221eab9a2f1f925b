#include "png/paeth.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>

#include "png/unfilter_avx2.hpp"
#include "simd/cpu.hpp"

namespace vextaro::png {
namespace {

// Written independently of the kernel so the two cannot share a mistake.
int reference_paeth(int a, int b, int c) {
    const int p = a + b - c;
    const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    if (pa <= pb && pa <= pc) return a;
    if (pb <= pc) return b;
    return c;
}

TEST(PaethPredictor, MatchesReferenceOnEveryByteTriple) {
    long mismatches = 0;
    for (int a = 0; a < 256; ++a)
        for (int b = 0; b < 256; ++b)
            for (int c = 0; c < 256; ++c) {
                const int got = paeth_predictor(a, b, c), want = reference_paeth(a, b, c);
                // Report a few, not millions, if something is systematically off.
                if (got != want && ++mismatches <= 10)
                    ADD_FAILURE() << "paeth(" << a << "," << b << "," << c << ") = " << got << ", want " << want;
            }
    EXPECT_EQ(mismatches, 0);
}

// The AVX2 row groups predict on unsigned bytes, where p - c can leave the byte
// range: every triple, 32 at a time, c running along the register.
TEST(PaethPredictor, ByteLanesMatchReferenceOnEveryByteTriple) {
    // Its kernel exists only in a build that dispatches at run time.
    if constexpr (simd::kX86Dispatch) {
        if (simd::cpu().avx2) {
            long mismatches = 0;
            uint8_t a[32], b[32], c[32], paeth[32], average[32];
            for (int x = 0; x < 256; ++x)
                for (int y = 0; y < 256; ++y)
                    for (int z0 = 0; z0 < 256; z0 += 32) {
                        for (int k = 0; k < 32; ++k)
                            a[k] = static_cast<uint8_t>(x), b[k] = static_cast<uint8_t>(y),
                            c[k] = static_cast<uint8_t>(z0 + k);
                        avx2::predict32(a, b, c, paeth, average);
                        for (int k = 0; k < 32; ++k) {
                            const int want = reference_paeth(x, y, z0 + k);
                            if ((paeth[k] != want || average[k] != (x + y) / 2) && ++mismatches <= 10)
                                ADD_FAILURE() << "(" << x << "," << y << "," << z0 + k << "): paeth " << int{paeth[k]}
                                              << ", want " << want << "; average " << int{average[k]};
                        }
                    }
            EXPECT_EQ(mismatches, 0);
            return;
        }
    }
    GTEST_SKIP() << "no AVX2";
}

TEST(PaethPredictor, KnownValues) {
    struct Case {
        int a, b, c, want;
    };
    for (const Case& k : {Case{0, 6, 2, 6}, Case{10, 1, 4, 10}, Case{10, 20, 15, 15}})
        EXPECT_EQ(paeth_predictor(k.a, k.b, k.c), k.want) << k.a << "," << k.b << "," << k.c;
    // It must stay usable in constant expressions.
    static_assert(paeth_predictor(0, 6, 2) == 6);
}

}  // namespace
}  // namespace vextaro::png
