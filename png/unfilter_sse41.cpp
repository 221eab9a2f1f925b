#include "png/unfilter_sse41.hpp"

#if VEXTARO_X86_DISPATCH

#include <smmintrin.h>

#include <cstddef>

#include "png/pixel_lanes.hpp"
#include "simd/target.hpp"

VEXTARO_TARGET_BEGIN("sse4.1")

#include "png/row_group.hpp"

namespace vextaro::png::sse41 {

namespace {

using lanes::load;
using lanes::store;

// Paeth's choice for every 16-bit lane: a unless another neighbour is strictly
// nearer; then b unless c is strictly nearer.
inline __m128i predict(__m128i a, __m128i b, __m128i c) {
    // p - a = b - c, p - b = a - c, p - c = (b - c) + (a - c).
    const __m128i to_b = _mm_sub_epi16(b, c), to_a = _mm_sub_epi16(a, c);
    const __m128i pa = _mm_abs_epi16(to_b), pb = _mm_abs_epi16(to_a);
    const __m128i pc = _mm_abs_epi16(_mm_add_epi16(to_b, to_a));
    const __m128i not_a = _mm_or_si128(_mm_cmpgt_epi16(pa, pb), _mm_cmpgt_epi16(pa, pc));
    const __m128i b_or_c = _mm_blendv_epi8(b, c, _mm_cmpgt_epi16(pb, pc));
    return _mm_blendv_epi8(a, b_or_c, not_a);
}

// A row group's registers (png/row_group.hpp): two rows, each in a 64-bit half.
struct Lanes {
    using Reg = __m128i;
    static constexpr int kRows = 2;
    static constexpr bool kBlocks = false;
    static Reg zero() { return _mm_setzero_si128(); }
    static Reg add8(Reg x, Reg y) { return _mm_add_epi8(x, y); }
    static Reg blend(Reg no, Reg yes, Reg mask) { return _mm_blendv_epi8(no, yes, mask); }
    static Reg paeth(Reg a, Reg b, Reg c) { return predict(a, b, c); }
    // Rounded down, as the filter does; lanes hold bytes, so the sum fits.
    static Reg average(Reg a, Reg b) { return _mm_srli_epi16(_mm_add_epi16(a, b), 1); }
    // The lanes of the rows among filters[0..1] whose filter type is `type`.
    static Reg rows_of(const uint8_t* filters, uint8_t type) {
        return _mm_set_epi64x(-int64_t{filters[1] == type}, -int64_t{filters[0] == type});
    }
    // What each row of `a` has above it: the row before it, and for the first
    // the previous register's last row, or the pixel `above` the group.
    static Reg below(Reg a, Reg previous) { return _mm_alignr_epi8(a, previous, 8); }
    static Reg below_above(Reg a, __m128i above) { return _mm_unpacklo_epi64(_mm_cvtepu8_epi16(above), a); }
    // Each row's pixel in the low 32 bits of d[row], to and from the lanes.
    static Reg widen(const __m128i (&d)[kRows]) { return _mm_cvtepu8_epi16(_mm_unpacklo_epi32(d[0], d[1])); }
    static void narrow(Reg a, __m128i (&out)[kRows]) {
        out[0] = _mm_packus_epi16(a, a);
        out[1] = _mm_srli_si128(out[0], 4);
    }
};

}  // namespace

template <int Bpp>
void paeth(uint8_t* row, const uint8_t* up, size_t n) {
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

// Sub makes each pixel a running sum along its row. Summed inside a register
// by shifts of one, two and four pixels, then the last pixel of the register
// before added to every pixel, the chain from register to register is one
// shuffle and one add instead of an add per pixel. A register holds five
// 3-byte pixels and a byte of the sixth, which is stored back unchanged.
template <int Bpp>
void sub(uint8_t* row, const uint8_t*, size_t n) {
    const __m128i spread = Bpp == 3 ? _mm_setr_epi8(12, 13, 14, 12, 13, 14, 12, 13, 14, 12, 13, 14, 12, 13, 14, 15)
                                    : _mm_setr_epi8(12, 13, 14, 15, 12, 13, 14, 15, 12, 13, 14, 15, 12, 13, 14, 15);
    const __m128i kept = _mm_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, Bpp == 3 ? -1 : 0);
    constexpr size_t kPixelBytes = Bpp == 3 ? 15 : 16;
    __m128i sums = _mm_setzero_si128();
    // The next register is loaded before this one is stored: for 3-byte pixels
    // they share a byte, and a load overlapping a store in flight waits for it.
    __m128i next = n >= 16 ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(row)) : sums;
    size_t i = 0;
    for (; i + 16 <= n; i += kPixelBytes) {
        const __m128i bytes = next;
        if (i + kPixelBytes + 16 <= n) next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + i + kPixelBytes));
        __m128i x = _mm_add_epi8(bytes, _mm_slli_si128(bytes, Bpp));
        x = _mm_add_epi8(x, _mm_slli_si128(x, 2 * Bpp));
        if constexpr (Bpp == 3) x = _mm_add_epi8(x, _mm_slli_si128(x, 4 * Bpp));
        // Lanes hold bytes, so a byte add wraps each sum as the format does.
        sums = _mm_blendv_epi8(_mm_add_epi8(x, _mm_shuffle_epi8(sums, spread)), bytes, kept);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(row + i), sums);
    }
    __m128i left = _mm_srli_si128(sums, 12);
    for (; i < n; i += Bpp) {
        left = _mm_add_epi8(left, load<Bpp>(row + i));
        store<Bpp>(row + i, left);
    }
}

template <int Bpp>
void rows(uint8_t* const* rows, const uint8_t* filters, size_t count, const uint8_t* up, size_t n) {
    row_group::reconstruct_rows<Lanes, Bpp>(rows, filters, count, up, n);
}

// Instantiated inside the target region, which they would not get outside it.
template void sub<3>(uint8_t*, const uint8_t*, size_t);
template void sub<4>(uint8_t*, const uint8_t*, size_t);
template void paeth<3>(uint8_t*, const uint8_t*, size_t);
template void paeth<4>(uint8_t*, const uint8_t*, size_t);
template void rows<3>(uint8_t* const*, const uint8_t*, size_t, const uint8_t*, size_t);
template void rows<4>(uint8_t* const*, const uint8_t*, size_t, const uint8_t*, size_t);

}  // namespace vextaro::png::sse41

VEXTARO_TARGET_END

namespace vextaro::png::sse41 {

bool available() {
    static const bool supported = __builtin_cpu_supports("sse4.1");
    return supported;
}

}  // namespace vextaro::png::sse41

#else

namespace vextaro::png::sse41 {

bool available() { return false; }
template <int Bpp>
void sub(uint8_t*, const uint8_t*, size_t) {
    VEXTARO_UNREACHABLE_KERNEL();
}
template <int Bpp>
void paeth(uint8_t*, const uint8_t*, size_t) {
    VEXTARO_UNREACHABLE_KERNEL();
}
template <int Bpp>
void rows(uint8_t* const*, const uint8_t*, size_t, const uint8_t*, size_t) {
    VEXTARO_UNREACHABLE_KERNEL();
}

template void sub<3>(uint8_t*, const uint8_t*, size_t);
template void sub<4>(uint8_t*, const uint8_t*, size_t);
template void paeth<3>(uint8_t*, const uint8_t*, size_t);
template void paeth<4>(uint8_t*, const uint8_t*, size_t);
template void rows<3>(uint8_t* const*, const uint8_t*, size_t, const uint8_t*, size_t);
template void rows<4>(uint8_t* const*, const uint8_t*, size_t, const uint8_t*, size_t);

}  // namespace vextaro::png::sse41

#endif
