#include "png/planes_avx2.hpp"

#if VEXTARO_X86_DISPATCH

#include <immintrin.h>

#include <cstring>

#include "png/planes_ssse3.hpp"
#include "simd/target.hpp"

VEXTARO_TARGET_BEGIN("avx2")

namespace vextaro::png::avx2 {

void split_rgba(const uint8_t* row, size_t width, uint8_t* rgb, uint8_t* alpha) {
    // Each half: four pixels' RGB bytes, then their alphas; the dword permute
    // then puts the 24 RGB bytes first and the 8 alphas last. As in the SSSE3
    // loop, the store runs past the RGB bytes into the next step's place, so the
    // loop stops while eleven pixels remain, and never reaches bytes not yet loaded.
    const __m256i order = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, 3, 7, 11, 15,  //
                                           0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, 3, 7, 11, 15);
    const __m256i gather = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);
    size_t x = 0;
    for (; x + 11 <= width; x += 8) {
        const __m256i pixels = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + 4 * x));
        const __m256i planes = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(pixels, order), gather);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(rgb + 3 * x), planes);
        const long long alphas = _mm_extract_epi64(_mm256_extracti128_si256(planes, 1), 1);
        std::memcpy(alpha + x, &alphas, 8);
    }
    if (x < width) ssse3::split_rgba(row + 4 * x, width - x, rgb + 3 * x, alpha + x);
}

}  // namespace vextaro::png::avx2

VEXTARO_TARGET_END

#endif
