#include "png/filter_sse2.hpp"

#if VEXTARO_SSE2

#include <emmintrin.h>

#include "png/paeth_sse2.hpp"

namespace vextaro::png::sse2 {

namespace {

__m128i load(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

}  // namespace

size_t paeth_filter(const uint8_t* raw, const uint8_t* up, uint8_t* out, size_t n, int bpp) {
    const auto k = static_cast<size_t>(bpp);
    const __m128i zero = _mm_setzero_si128();
    size_t i = k;
    for (; i + 16 <= n; i += 16) {
        const __m128i a = load(raw + i - k), b = load(up + i), c = load(up + i - k);
        const __m128i low = paeth_predict(_mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(b, zero),
                                          _mm_unpacklo_epi8(c, zero));
        const __m128i high = paeth_predict(_mm_unpackhi_epi8(a, zero), _mm_unpackhi_epi8(b, zero),
                                           _mm_unpackhi_epi8(c, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_sub_epi8(load(raw + i), _mm_packus_epi16(low, high)));
    }
    return i < k ? 0 : i - k;
}

}  // namespace vextaro::png::sse2

#endif
