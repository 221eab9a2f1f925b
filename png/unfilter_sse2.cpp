#include "png/unfilter_sse2.hpp"

#if VEXTARO_SSE2

#include <emmintrin.h>

#include "png/paeth_sse2.hpp"
#include "png/pixel_lanes.hpp"

namespace vextaro::png::sse2 {

using lanes::load;
using lanes::store;

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

}  // namespace vextaro::png::sse2

#else

namespace vextaro::png::sse2 {

template <int Bpp>
void sub(uint8_t*, const uint8_t*, size_t) {
    VEXTARO_UNREACHABLE_KERNEL();
}
template <int Bpp>
void average(uint8_t*, const uint8_t*, size_t) {
    VEXTARO_UNREACHABLE_KERNEL();
}
template <int Bpp>
void paeth(uint8_t*, const uint8_t*, size_t) {
    VEXTARO_UNREACHABLE_KERNEL();
}

}  // namespace vextaro::png::sse2

#endif

namespace vextaro::png::sse2 {

template void sub<3>(uint8_t*, const uint8_t*, size_t);
template void sub<4>(uint8_t*, const uint8_t*, size_t);
template void average<3>(uint8_t*, const uint8_t*, size_t);
template void average<4>(uint8_t*, const uint8_t*, size_t);
template void paeth<3>(uint8_t*, const uint8_t*, size_t);
template void paeth<4>(uint8_t*, const uint8_t*, size_t);

}  // namespace vextaro::png::sse2
