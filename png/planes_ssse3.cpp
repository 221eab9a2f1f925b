#include "png/planes_ssse3.hpp"

#if VEXTARO_X86_DISPATCH

#include <tmmintrin.h>

#include <cstring>
#include "simd/target.hpp"

VEXTARO_TARGET_BEGIN("ssse3")

namespace vextaro::png::ssse3 {

void split_rgba(const uint8_t* row, size_t width, uint8_t* rgb, uint8_t* alpha) {
    // Four pixels in, their twelve RGB bytes then their four alphas out. The
    // store writes the alphas past the RGB bytes too, where the next step's RGB
    // bytes go, so the loop stops while two more pixels exist; since `rgb` never
    // starts after `row`, no store reaches bytes not yet loaded.
    const __m128i order = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, 3, 7, 11, 15);
    size_t x = 0;
    for (; x + 6 <= width; x += 4) {
        const __m128i planes = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 4 * x)), order);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(rgb + 3 * x), planes);
        const int alphas = _mm_cvtsi128_si32(_mm_srli_si128(planes, 12));
        std::memcpy(alpha + x, &alphas, 4);
    }
    for (; x < width; ++x) {
        const uint8_t r = row[4 * x], g = row[4 * x + 1], b = row[4 * x + 2];
        alpha[x] = row[4 * x + 3];
        rgb[3 * x] = r;
        rgb[3 * x + 1] = g;
        rgb[3 * x + 2] = b;
    }
}

void join_rgba(const uint8_t* rgb, const uint8_t* alpha, size_t width, uint8_t* row) {
    // Four pixels a step: their twelve RGB bytes spread to every lane but each
    // fourth, the four alphas into those. A step loads sixteen RGB bytes, so the
    // loop stops while six pixels remain.
    const __m128i spread = _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    const __m128i alphas = _mm_setr_epi8(-1, -1, -1, 0, -1, -1, -1, 1, -1, -1, -1, 2, -1, -1, -1, 3);
    size_t x = 0;
    for (; x + 6 <= width; x += 4) {
        int four;
        std::memcpy(&four, alpha + x, 4);
        const __m128i colours = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(rgb + 3 * x)),
                                                 spread);
        const __m128i opacity = _mm_shuffle_epi8(_mm_cvtsi32_si128(four), alphas);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(row + 4 * x), _mm_or_si128(colours, opacity));
    }
    for (; x < width; ++x) {
        row[4 * x] = rgb[3 * x];
        row[4 * x + 1] = rgb[3 * x + 1];
        row[4 * x + 2] = rgb[3 * x + 2];
        row[4 * x + 3] = alpha[x];
    }
}

}  // namespace vextaro::png::ssse3

VEXTARO_TARGET_END

#endif
