#include "png/unfilter_sse41.hpp"

#if defined(__x86_64__) || defined(__i386__)

#include <smmintrin.h>

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

// The low half of each register works on `row`, the high half on `next`, one
// pixel behind: what `next` needs from above is what `row` finished one step
// earlier. Each chain still waits on its left pixel, but the two chains share
// every trip through the predictor, which is where the time goes.
template <int Bpp>
__attribute__((target("sse4.1"))) void paeth_pixel_pairs(uint8_t* row, uint8_t* next, const uint8_t* up, size_t n) {
    if (n == 0) return;
    // Pixel 0 of `row`; the high half, all zeros, leaves next's left and
    // upper-left neighbours of its pixel 0 at zero.
    __m128i c = _mm_cvtepu8_epi16(load<Bpp>(up));
    __m128i a = _mm_add_epi8(_mm_cvtepu8_epi16(load<Bpp>(row)), c);
    store<Bpp>(row, _mm_packus_epi16(a, a));
    for (size_t i = Bpp; i < n; i += Bpp) {
        const __m128i b = _mm_unpacklo_epi64(_mm_cvtepu8_epi16(load<Bpp>(up + i)), a);
        const __m128i d = _mm_cvtepu8_epi16(_mm_unpacklo_epi32(load<Bpp>(row + i), load<Bpp>(next + i - Bpp)));
        a = _mm_add_epi8(d, predict(a, b, c));
        const __m128i bytes = _mm_packus_epi16(a, a);
        store<Bpp>(row + i, bytes);
        store<Bpp>(next + i - Bpp, _mm_srli_si128(bytes, 4));
        c = b;
    }
    // The last pixel of `next`; the low half has nothing left to do.
    const __m128i b = _mm_unpacklo_epi64(_mm_setzero_si128(), a);
    const __m128i d = _mm_unpacklo_epi64(_mm_setzero_si128(), _mm_cvtepu8_epi16(load<Bpp>(next + n - Bpp)));
    a = _mm_add_epi8(d, predict(a, b, c));
    store<Bpp>(next + n - Bpp, _mm_srli_si128(_mm_packus_epi16(a, a), 4));
}

}  // namespace

bool available() {
    static const bool supported = __builtin_cpu_supports("sse4.1");
    return supported;
}

void paeth(uint8_t* row, const uint8_t* up, size_t n, int bpp) {
    bpp == 3 ? paeth_pixels<3>(row, up, n) : paeth_pixels<4>(row, up, n);
}

void paeth_two_rows(uint8_t* row, uint8_t* next, const uint8_t* up, size_t n, int bpp) {
    bpp == 3 ? paeth_pixel_pairs<3>(row, next, up, n) : paeth_pixel_pairs<4>(row, next, up, n);
}

}  // namespace vextaro::png::sse41

#else

namespace vextaro::png::sse41 {

bool available() { return false; }
void paeth(uint8_t*, const uint8_t*, size_t, int) {}
void paeth_two_rows(uint8_t*, uint8_t*, const uint8_t*, size_t, int) {}

}  // namespace vextaro::png::sse41

#endif
