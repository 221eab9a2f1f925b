#include "png/unfilter_avx2.hpp"

#if VEXTARO_X86_DISPATCH

#include <immintrin.h>

#include <cstddef>

#include "png/pixel_lanes.hpp"

namespace vextaro::png::avx2 {

namespace {

using lanes::load;
using lanes::store;

// Paeth's choice for every 16-bit lane, as sse41's predict.
__attribute__((target("avx2"))) inline __m256i predict(__m256i a, __m256i b, __m256i c) {
    const __m256i to_b = _mm256_sub_epi16(b, c), to_a = _mm256_sub_epi16(a, c);
    const __m256i pa = _mm256_abs_epi16(to_b), pb = _mm256_abs_epi16(to_a);
    const __m256i pc = _mm256_abs_epi16(_mm256_add_epi16(to_b, to_a));
    const __m256i not_a = _mm256_or_si256(_mm256_cmpgt_epi16(pa, pb), _mm256_cmpgt_epi16(pa, pc));
    const __m256i b_or_c = _mm256_blendv_epi8(b, c, _mm256_cmpgt_epi16(pb, pc));
    return _mm256_blendv_epi8(a, b_or_c, not_a);
}

// As sse41's RowGroup, with the rows of a register in its four 64-bit quarters:
// row k of the group works on pixel i - k at step i.
template <int Bpp, int Quads>
struct RowGroup {
    uint8_t* const* rows;
    const uint8_t* up;
    ptrdiff_t pixels;
    __m256i a[Quads], c[Quads];

    template <bool kEdge>
    __attribute__((target("avx2"))) __m128i pixel(int k, ptrdiff_t p) const {
        if (kEdge && (p < 0 || p >= pixels)) return _mm_setzero_si128();
        return load<kEdge ? Bpp : 4>(rows[k] + p * Bpp);
    }

    template <bool kEdge>
    __attribute__((target("avx2"))) void step(ptrdiff_t i) {
        const __m128i above = kEdge && i >= pixels ? _mm_setzero_si128() : load<kEdge ? Bpp : 4>(up + i * Bpp);
        // What each row needs from above is what the row before it finished one
        // step earlier: the register's quarters moved up by one, the first filled
        // from the row above the group or the previous register's last row.
        __m256i b[Quads];
        for (int q = 0; q < Quads; ++q) {
            const __m256i from_above =
                q == 0 ? _mm256_castsi128_si256(_mm_cvtepu8_epi16(above)) : _mm256_permute4x64_epi64(a[q - 1], 0xff);
            b[q] = _mm256_blend_epi32(_mm256_permute4x64_epi64(a[q], 0x90), from_above, 0x03);
        }
        for (int q = 0; q < Quads; ++q) {
            const int k = 4 * q;
            const __m128i d01 = _mm_unpacklo_epi32(pixel<kEdge>(k, i - k), pixel<kEdge>(k + 1, i - k - 1));
            const __m128i d23 = _mm_unpacklo_epi32(pixel<kEdge>(k + 2, i - k - 2), pixel<kEdge>(k + 3, i - k - 3));
            const __m256i d = _mm256_cvtepu8_epi16(_mm_unpacklo_epi64(d01, d23));
            // Lanes hold bytes, so a byte add wraps each sum as the format does.
            a[q] = _mm256_add_epi8(d, predict(a[q], b[q], c[q]));
            c[q] = b[q];
        }
        for (int q = 0; q < Quads; ++q) {
            const __m256i bytes = _mm256_packus_epi16(a[q], a[q]);
            const __m128i halves[2] = {_mm256_castsi256_si128(bytes), _mm256_extracti128_si256(bytes, 1)};
            for (int h = 0; h < 4; ++h) {
                const ptrdiff_t p = i - 4 * q - h;
                if (!kEdge || (p >= 0 && p < pixels))
                    store<Bpp>(rows[4 * q + h] + p * Bpp, h % 2 ? _mm_srli_si128(halves[h / 2], 4) : halves[h / 2]);
            }
        }
    }
};

template <int Bpp, int Quads>
__attribute__((target("avx2"))) void paeth_row_group(uint8_t* const* rows, const uint8_t* up, size_t n) {
    constexpr ptrdiff_t kLag = 4 * Quads - 1;
    RowGroup<Bpp, Quads> group{rows, up, static_cast<ptrdiff_t>(n / Bpp), {}, {}};
    for (int q = 0; q < Quads; ++q) group.a[q] = group.c[q] = _mm256_setzero_si256();
    // As in sse41's groups, 3-byte pixels are loaded as 4 bytes away from the
    // edges, which stop a pixel short of the end of row 0 and of the row above.
    const ptrdiff_t inner_end = group.pixels - (Bpp == 3 ? 1 : 0);
    ptrdiff_t i = 0;
    for (; i < kLag && i < group.pixels; ++i) group.template step<true>(i);
    for (; i < inner_end; ++i) group.template step<false>(i);
    for (; i < group.pixels + kLag; ++i) group.template step<true>(i);
}

}  // namespace

bool available() {
    static const bool supported = __builtin_cpu_supports("avx2");
    return supported;
}

void paeth_rows(uint8_t* const* rows, size_t count, const uint8_t* up, size_t n, int bpp) {
    if (count == 8) return bpp == 3 ? paeth_row_group<3, 2>(rows, up, n) : paeth_row_group<4, 2>(rows, up, n);
    bpp == 3 ? paeth_row_group<3, 1>(rows, up, n) : paeth_row_group<4, 1>(rows, up, n);
}

}  // namespace vextaro::png::avx2

#else

namespace vextaro::png::avx2 {

bool available() { return false; }
void paeth_rows(uint8_t* const*, size_t, const uint8_t*, size_t, int) {}

}  // namespace vextaro::png::avx2

#endif
