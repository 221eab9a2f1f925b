#include "png/unfilter_sse41.hpp"

#if defined(__x86_64__) || defined(__i386__)

#include <smmintrin.h>

#include "png/pixel_lanes.hpp"

namespace vextaro::png::sse41 {

namespace {

using lanes::load;
using lanes::store;

template <int Bpp>
__attribute__((target("sse4.1"))) void paeth_pixels(uint8_t* row, const uint8_t* up, size_t n) {
    __m128i a = _mm_setzero_si128(), c = a;
    for (size_t i = 0; i < n; i += Bpp) {
        const __m128i b = _mm_cvtepu8_epi16(load<Bpp>(up + i));
        const __m128i d = _mm_cvtepu8_epi16(load<Bpp>(row + i));
        // p - a = b - c, p - b = a - c, p - c = (b - c) + (a - c).
        const __m128i to_b = _mm_sub_epi16(b, c), to_a = _mm_sub_epi16(a, c);
        const __m128i pa = _mm_abs_epi16(to_b), pb = _mm_abs_epi16(to_a);
        const __m128i pc = _mm_abs_epi16(_mm_add_epi16(to_b, to_a));
        // a unless another is strictly nearer; then b unless c is strictly nearer.
        const __m128i not_a = _mm_or_si128(_mm_cmpgt_epi16(pa, pb), _mm_cmpgt_epi16(pa, pc));
        const __m128i b_or_c = _mm_blendv_epi8(b, c, _mm_cmpgt_epi16(pb, pc));
        a = _mm_add_epi8(d, _mm_blendv_epi8(a, b_or_c, not_a));
        store<Bpp>(row + i, _mm_packus_epi16(a, a));
        c = b;
    }
}

}  // namespace

bool available() {
    static const bool supported = __builtin_cpu_supports("sse4.1");
    return supported;
}

void paeth(uint8_t* row, const uint8_t* up, size_t n, int bpp) {
    bpp == 3 ? paeth_pixels<3>(row, up, n) : paeth_pixels<4>(row, up, n);
}

}  // namespace vextaro::png::sse41

#else

namespace vextaro::png::sse41 {

bool available() { return false; }
void paeth(uint8_t*, const uint8_t*, size_t, int) {}

}  // namespace vextaro::png::sse41

#endif
