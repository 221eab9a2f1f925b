#include "bmp/rows_ssse3.hpp"

#if VEXTARO_X86_DISPATCH

#include <tmmintrin.h>
#include "simd/target.hpp"

VEXTARO_TARGET_BEGIN("ssse3")

namespace vextaro::bmp::ssse3 {

void swap_red_blue(const uint8_t* in, size_t width, uint8_t* out) {
    // Sixteen bytes hold five pixels and the first byte of a sixth, which is
    // written back unchanged, so the loop stops while a sixth pixel exists.
    const __m128i order = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 14, 13, 12, 15);
    size_t x = 0;
    for (; x + 6 <= width; x += 5) {
        const __m128i pixels = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 3 * x));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * x), _mm_shuffle_epi8(pixels, order));
    }
    for (; x < width; ++x) {
        const uint8_t b = in[3 * x], g = in[3 * x + 1], r = in[3 * x + 2];
        out[3 * x] = r;
        out[3 * x + 1] = g;
        out[3 * x + 2] = b;
    }
}

}  // namespace vextaro::bmp::ssse3

VEXTARO_TARGET_END

#endif
