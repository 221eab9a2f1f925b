#include "png/unfilter_sse2.hpp"

#if VEXTARO_SSE2

#include <emmintrin.h>

#include "png/paeth_sse2.hpp"
#include "png/pixel_lanes.hpp"
#include "png/row_group.hpp"

namespace vextaro::png::sse2 {

using lanes::load;
using lanes::store;

namespace {

// A row group's registers (png/row_group.hpp): two rows, each in a 64-bit half
// of 16-bit lanes. Byte lanes, as SSE4.1's groups use, would take SSSE3's byte
// shuffles to load and store 3-byte pixels in blocks, and three instructions
// for each byte blend.
struct Lanes : lanes::Pixels {
    using Reg = __m128i;
    static constexpr int kRows = 2;
    static constexpr bool kBlocks = false;
    static Reg zero() { return _mm_setzero_si128(); }
    static Reg add8(Reg x, Reg y) { return _mm_add_epi8(x, y); }
    static Reg blend(Reg no, Reg yes, Reg mask) { return select(mask, yes, no); }
    static Reg paeth(Reg a, Reg b, Reg c) { return paeth_predict(a, b, c); }
    // Rounded down, as the filter does; lanes hold bytes, so the sum fits.
    static Reg average(Reg a, Reg b) { return _mm_srli_epi16(_mm_add_epi16(a, b), 1); }
    static Reg rows_of(const uint8_t* filters, uint8_t type) {
        return _mm_set_epi64x(-int64_t{filters[1] == type}, -int64_t{filters[0] == type});
    }
    // The previous register's last row below this one's first: one shuffle.
    static Reg below(Reg a, Reg previous) {
        return _mm_castpd_si128(_mm_shuffle_pd(_mm_castsi128_pd(previous), _mm_castsi128_pd(a), 1));
    }
    static Reg below_above(Reg a, __m128i above) {
        return _mm_unpacklo_epi64(_mm_unpacklo_epi8(above, _mm_setzero_si128()), a);
    }
    static Reg widen(const __m128i (&d)[kRows]) {
        return _mm_unpacklo_epi8(_mm_unpacklo_epi32(d[0], d[1]), _mm_setzero_si128());
    }
    static void narrow(Reg a, __m128i (&out)[kRows]) {
        out[0] = _mm_packus_epi16(a, a);
        out[1] = _mm_srli_si128(out[0], 4);
    }
};

}  // namespace

template <int Bpp>
void sub(uint8_t* row, const uint8_t*, size_t n) {
    __m128i left = _mm_setzero_si128();
    for (size_t i = 0; i < n; i += Bpp) {
        left = _mm_add_epi8(left, load<Bpp>(row + i));
        store<Bpp>(row + i, left);
    }
}

template <int Bpp>
void average(uint8_t* row, const uint8_t* up, size_t n) {
    const __m128i one = _mm_set1_epi8(1);
    __m128i left = _mm_setzero_si128();
    for (size_t i = 0; i < n; i += Bpp) {
        const __m128i above = load<Bpp>(up + i);
        // _mm_avg_epu8 rounds up; the filter rounds down.
        const __m128i mean = _mm_sub_epi8(_mm_avg_epu8(left, above), _mm_and_si128(_mm_xor_si128(left, above), one));
        left = _mm_add_epi8(load<Bpp>(row + i), mean);
        store<Bpp>(row + i, left);
    }
}

template <int Bpp>
void paeth(uint8_t* row, const uint8_t* up, size_t n) {
    const __m128i zero = _mm_setzero_si128();
    __m128i a = zero, c = zero;
    for (size_t i = 0; i < n; i += Bpp) {
        const __m128i b = _mm_unpacklo_epi8(load<Bpp>(up + i), zero);
        const __m128i d = _mm_unpacklo_epi8(load<Bpp>(row + i), zero);
        // Lanes stay below 256: adding bytes cannot carry into the zero high byte.
        a = _mm_add_epi8(d, paeth_predict(a, b, c));
        store<Bpp>(row + i, _mm_packus_epi16(a, a));
        c = b;
    }
}

template <int Bpp>
void rows(uint8_t* const* rows, const uint8_t* filters, size_t count, const uint8_t* up, size_t n) {
    row_group::reconstruct_rows<Lanes, Bpp>(rows, filters, count, up, n);
}

template void sub<3>(uint8_t*, const uint8_t*, size_t);
template void sub<4>(uint8_t*, const uint8_t*, size_t);
template void average<3>(uint8_t*, const uint8_t*, size_t);
template void average<4>(uint8_t*, const uint8_t*, size_t);
template void paeth<3>(uint8_t*, const uint8_t*, size_t);
template void paeth<4>(uint8_t*, const uint8_t*, size_t);
template void rows<3>(uint8_t* const*, const uint8_t*, size_t, const uint8_t*, size_t);
template void rows<4>(uint8_t* const*, const uint8_t*, size_t, const uint8_t*, size_t);

}  // namespace vextaro::png::sse2

#endif
