#include "png/filter_sse2.hpp"

#if defined(__SSE2__)

#include <emmintrin.h>

namespace vextaro::png::sse2 {

namespace {

__m128i abs16(__m128i x) { return _mm_max_epi16(x, _mm_sub_epi16(_mm_setzero_si128(), x)); }

__m128i select(__m128i mask, __m128i yes, __m128i no) {
    return _mm_or_si128(_mm_and_si128(mask, yes), _mm_andnot_si128(mask, no));
}

// Paeth's choice on eight 16-bit lanes: a unless another is strictly nearer,
// then b unless c is strictly nearer.
__m128i predict(__m128i a, __m128i b, __m128i c) {
    const __m128i to_b = _mm_sub_epi16(b, c), to_a = _mm_sub_epi16(a, c);
    const __m128i pa = abs16(to_b), pb = abs16(to_a), pc = abs16(_mm_add_epi16(to_b, to_a));
    const __m128i not_a = _mm_or_si128(_mm_cmpgt_epi16(pa, pb), _mm_cmpgt_epi16(pa, pc));
    return select(not_a, select(_mm_cmpgt_epi16(pb, pc), c, b), a);
}

__m128i load(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

}  // namespace

size_t paeth_filter(const uint8_t* raw, const uint8_t* up, uint8_t* out, size_t n, int bpp) {
    const auto k = static_cast<size_t>(bpp);
    const __m128i zero = _mm_setzero_si128();
    size_t i = k;
    for (; i + 16 <= n; i += 16) {
        const __m128i a = load(raw + i - k), b = load(up + i), c = load(up + i - k);
        const __m128i low = predict(_mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(b, zero), _mm_unpacklo_epi8(c, zero));
        const __m128i high = predict(_mm_unpackhi_epi8(a, zero), _mm_unpackhi_epi8(b, zero), _mm_unpackhi_epi8(c, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_sub_epi8(load(raw + i), _mm_packus_epi16(low, high)));
    }
    return i < k ? 0 : i - k;
}

}  // namespace vextaro::png::sse2

#endif
