#include "png/unfilter_sse41.hpp"

#if VEXTARO_X86_DISPATCH

#include <smmintrin.h>

#include <cstddef>

#include "png/pixel_lanes.hpp"

namespace vextaro::png::sse41 {

namespace {

using lanes::load;
using lanes::store;

// Paeth's choice for every 16-bit lane: a unless another neighbour is strictly
// nearer; then b unless c is strictly nearer.
__attribute__((target("sse4.1"))) inline __m128i predict(__m128i a, __m128i b, __m128i c) {
    // p - a = b - c, p - b = a - c, p - c = (b - c) + (a - c).
    const __m128i to_b = _mm_sub_epi16(b, c), to_a = _mm_sub_epi16(a, c);
    const __m128i pa = _mm_abs_epi16(to_b), pb = _mm_abs_epi16(to_a);
    const __m128i pc = _mm_abs_epi16(_mm_add_epi16(to_b, to_a));
    const __m128i not_a = _mm_or_si128(_mm_cmpgt_epi16(pa, pb), _mm_cmpgt_epi16(pa, pc));
    const __m128i b_or_c = _mm_blendv_epi8(b, c, _mm_cmpgt_epi16(pb, pc));
    return _mm_blendv_epi8(a, b_or_c, not_a);
}

template <int Bpp>
__attribute__((target("sse4.1"))) void paeth_pixels(uint8_t* row, const uint8_t* up, size_t n) {
    __m128i a = _mm_setzero_si128(), c = a;
    for (size_t i = 0; i < n; i += Bpp) {
        const __m128i b = _mm_cvtepu8_epi16(load<Bpp>(up + i));
        const __m128i d = _mm_cvtepu8_epi16(load<Bpp>(row + i));
        // Lanes hold bytes, so a byte add wraps each sum as the format does.
        a = _mm_add_epi8(d, predict(a, b, c));
        store<Bpp>(row + i, _mm_packus_epi16(a, a));
        c = b;
    }
}

// Sub makes each pixel a running sum along its row. Summed inside a register
// by shifts of one, two and four pixels, then the last pixel of the register
// before added to every pixel, the chain from register to register is one
// shuffle and one add instead of an add per pixel. A register holds five
// 3-byte pixels and a byte of the sixth, which is stored back unchanged.
template <int Bpp>
__attribute__((target("sse4.1"))) void sub_pixels(uint8_t* row, size_t n) {
    const __m128i spread = Bpp == 3 ? _mm_setr_epi8(12, 13, 14, 12, 13, 14, 12, 13, 14, 12, 13, 14, 12, 13, 14, 15)
                                    : _mm_setr_epi8(12, 13, 14, 15, 12, 13, 14, 15, 12, 13, 14, 15, 12, 13, 14, 15);
    const __m128i kept = _mm_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, Bpp == 3 ? -1 : 0);
    constexpr size_t kPixelBytes = Bpp == 3 ? 15 : 16;
    __m128i sums = _mm_setzero_si128();
    // The next register is loaded before this one is stored: for 3-byte pixels
    // they share a byte, and a load overlapping a store in flight waits for it.
    __m128i next = n >= 16 ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(row)) : sums;
    size_t i = 0;
    for (; i + 16 <= n; i += kPixelBytes) {
        const __m128i bytes = next;
        if (i + kPixelBytes + 16 <= n) next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + i + kPixelBytes));
        __m128i x = _mm_add_epi8(bytes, _mm_slli_si128(bytes, Bpp));
        x = _mm_add_epi8(x, _mm_slli_si128(x, 2 * Bpp));
        if constexpr (Bpp == 3) x = _mm_add_epi8(x, _mm_slli_si128(x, 4 * Bpp));
        // Lanes hold bytes, so a byte add wraps each sum as the format does.
        sums = _mm_blendv_epi8(_mm_add_epi8(x, _mm_shuffle_epi8(sums, spread)), bytes, kept);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(row + i), sums);
    }
    __m128i left = _mm_srli_si128(sums, 12);
    for (; i < n; i += Bpp) {
        left = _mm_add_epi8(left, load<Bpp>(row + i));
        store<Bpp>(row + i, left);
    }
}

// The state of paeth_row_group: each row's last pixel and the one above it.
template <int Bpp, int Pairs>
struct RowGroup {
    uint8_t* const* rows;
    const uint8_t* up;
    ptrdiff_t pixels;
    __m128i a[Pairs], c[Pairs];

    // Pixel p of row k, or zeros outside the row.
    template <bool kEdge>
    __attribute__((target("sse4.1"))) __m128i pixel(int k, ptrdiff_t p) const {
        if (kEdge && (p < 0 || p >= pixels)) return _mm_setzero_si128();
        return load<kEdge ? Bpp : 4>(rows[k] + p * Bpp);
    }

    // Step i: row k of the group reconstructs its pixel i - k. The edge steps
    // check each row's bounds; the steps between them need not.
    template <bool kEdge>
    __attribute__((target("sse4.1"))) void step(ptrdiff_t i) {
        const __m128i above = kEdge && i >= pixels ? _mm_setzero_si128() : load<kEdge ? Bpp : 4>(up + i * Bpp);
        __m128i b[Pairs];
        b[0] = _mm_unpacklo_epi64(_mm_cvtepu8_epi16(above), a[0]);
        for (int r = 1; r < Pairs; ++r) b[r] = _mm_alignr_epi8(a[r], a[r - 1], 8);
        for (int r = 0; r < Pairs; ++r) {
            const __m128i d = _mm_unpacklo_epi32(pixel<kEdge>(2 * r, i - 2 * r), pixel<kEdge>(2 * r + 1, i - 2 * r - 1));
            // Lanes hold bytes, so a byte add wraps each sum as the format does.
            a[r] = _mm_add_epi8(_mm_cvtepu8_epi16(d), predict(a[r], b[r], c[r]));
            c[r] = b[r];
        }
        for (int r = 0; r < Pairs; ++r) {
            const __m128i bytes = _mm_packus_epi16(a[r], a[r]);
            for (int h = 0; h < 2; ++h) {
                const ptrdiff_t p = i - 2 * r - h;
                if (!kEdge || (p >= 0 && p < pixels))
                    store<Bpp>(rows[2 * r + h] + p * Bpp, h ? _mm_srli_si128(bytes, 4) : bytes);
            }
        }
    }
};

// A group of consecutive Paeth rows, two to a register: row k of the group
// works on pixel i - k while row 0 works on pixel i, so what a row needs from
// above is what the row before it finished one step earlier. Each row still
// waits on its left pixel, but the rows of a register share every trip through
// the predictor, and the registers' chains run side by side. Before its first
// pixel a row sees zeros all round, which the predictor turns into zeros, so
// the rows' staggered starts need no code of their own.
template <int Bpp, int Pairs>
__attribute__((target("sse4.1"))) void paeth_row_group(uint8_t* const* rows, const uint8_t* up, size_t n) {
    constexpr ptrdiff_t kLag = 2 * Pairs - 1;
    RowGroup<Bpp, Pairs> group{rows, up, static_cast<ptrdiff_t>(n / Bpp), {}, {}};
    for (int r = 0; r < Pairs; ++r) group.a[r] = group.c[r] = _mm_setzero_si128();
    // Away from the edges a 3-byte pixel is loaded as 4 bytes, one load instead
    // of three; the fourth lane is never stored. So those steps stop a pixel
    // short of the end of row 0 and of the row above, the only rows they could
    // otherwise read past.
    // (Storing 4 bytes as well would write ahead of the next load, which then
    // waits for the store: slower.)
    const ptrdiff_t inner_end = group.pixels - (Bpp == 3 ? 1 : 0);
    ptrdiff_t i = 0;
    for (; i < kLag && i < group.pixels; ++i) group.template step<true>(i);
    for (; i < inner_end; ++i) group.template step<false>(i);
    for (; i < group.pixels + kLag; ++i) group.template step<true>(i);
}

}  // namespace

bool available() {
    static const bool supported = __builtin_cpu_supports("sse4.1");
    return supported;
}

void sub(uint8_t* row, size_t n, int bpp) { bpp == 3 ? sub_pixels<3>(row, n) : sub_pixels<4>(row, n); }

void paeth(uint8_t* row, const uint8_t* up, size_t n, int bpp) {
    bpp == 3 ? paeth_pixels<3>(row, up, n) : paeth_pixels<4>(row, up, n);
}

void paeth_rows(uint8_t* const* rows, size_t count, const uint8_t* up, size_t n, int bpp) {
    if (count == 4) return bpp == 3 ? paeth_row_group<3, 2>(rows, up, n) : paeth_row_group<4, 2>(rows, up, n);
    bpp == 3 ? paeth_row_group<3, 1>(rows, up, n) : paeth_row_group<4, 1>(rows, up, n);
}

}  // namespace vextaro::png::sse41

#else

namespace vextaro::png::sse41 {

bool available() { return false; }
void sub(uint8_t*, size_t, int) {}
void paeth(uint8_t*, const uint8_t*, size_t, int) {}
void paeth_rows(uint8_t* const*, size_t, const uint8_t*, size_t, int) {}

}  // namespace vextaro::png::sse41

#endif
