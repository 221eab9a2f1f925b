// The Paeth predictor on eight 16-bit lanes with SSE2 alone, shared by the
// reconstruction kernel and the encoder's filter.
#pragma once

#include <emmintrin.h>

namespace vextaro::png::sse2 {

inline __m128i abs16(__m128i x) { return _mm_max_epi16(x, _mm_sub_epi16(_mm_setzero_si128(), x)); }

inline __m128i select(__m128i mask, __m128i yes, __m128i no) {
    return _mm_or_si128(_mm_and_si128(mask, yes), _mm_andnot_si128(mask, no));
}

// a unless another is strictly nearer, then b unless c is strictly nearer.
// p - a = b - c, p - b = a - c, p - c = (b - c) + (a - c).
inline __m128i paeth_predict(__m128i a, __m128i b, __m128i c) {
    const __m128i to_b = _mm_sub_epi16(b, c), to_a = _mm_sub_epi16(a, c);
    const __m128i pa = abs16(to_b), pb = abs16(to_a), pc = abs16(_mm_add_epi16(to_b, to_a));
    const __m128i not_a = _mm_or_si128(_mm_cmpgt_epi16(pa, pb), _mm_cmpgt_epi16(pa, pc));
    return select(not_a, select(_mm_cmpgt_epi16(pb, pc), c, b), a);
}

}  // namespace vextaro::png::sse2
