#include "png/unfilter_sse41.hpp"

#if VEXTARO_X86_DISPATCH

#include <smmintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

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

// A row group's registers (png/row_group.hpp) on bytes: four rows, one pixel
// each in a 32-bit lane, so neither loads nor stores widen or narrow; AVX2's
// register (unfilter_avx2.cpp) holds eight rows the same way.
struct Lanes : lanes::Pixels {
    using Reg = __m128i;
    static constexpr int kRows = 4;
    static constexpr bool kBlocks = true;
    static Reg zero() { return _mm_setzero_si128(); }
    // Lanes hold bytes, so a byte add wraps each sum as the format does.
    static Reg add8(Reg x, Reg y) { return _mm_add_epi8(x, y); }
    static Reg blend(Reg no, Reg yes, Reg mask) { return _mm_blendv_epi8(no, yes, mask); }
    // Rounded down, as the filter does: pavgb rounds up, so take back the half
    // it added where a + b is odd.
    static Reg average(Reg a, Reg b) {
        const Reg odd = _mm_and_si128(_mm_xor_si128(a, b), _mm_set1_epi8(1));
        return _mm_sub_epi8(_mm_avg_epu8(a, b), odd);
    }
    static Reg paeth(Reg a, Reg b, Reg c) {
        // b - c and a - c split by sign into saturated differences, one of
        // each pair zero. p - c is their sum: where both point one way, pa + pb
        // (saturated only past 255, beyond which it is nearer than neither);
        // where they part, |pa - pb|, which the saturated sums give as well.
        const Reg b_up = _mm_subs_epu8(b, c), b_down = _mm_subs_epu8(c, b);
        const Reg a_up = _mm_subs_epu8(a, c), a_down = _mm_subs_epu8(c, a);
        const Reg pa = _mm_or_si128(b_up, b_down), pb = _mm_or_si128(a_up, a_down);
        const Reg up = _mm_adds_epu8(b_up, a_up), down = _mm_adds_epu8(b_down, a_down);
        const Reg pc = _mm_or_si128(_mm_subs_epu8(up, down), _mm_subs_epu8(down, up));
        // x <= y where min(x, y) == x; a unless pb or pc is smaller, then b
        // unless pc is.
        const Reg nearest_bc = _mm_min_epu8(pb, pc);
        const Reg take_a = _mm_cmpeq_epi8(_mm_min_epu8(pa, nearest_bc), pa);
        const Reg take_b = _mm_cmpeq_epi8(nearest_bc, pb);
        return _mm_blendv_epi8(_mm_blendv_epi8(c, b, take_b), a, take_a);
    }
    // The lanes of the rows among filters[0..3] whose filter type is `type`.
    static Reg rows_of(const uint8_t* filters, uint8_t type) {
        uint32_t types;
        std::memcpy(&types, filters, 4);
        return _mm_cvtepi8_epi32(
            _mm_cmpeq_epi8(_mm_cvtsi32_si128(static_cast<int>(types)), _mm_set1_epi8(static_cast<char>(type))));
    }
    // What each row of `a` has above it: the row before it, and for the first
    // the previous register's last row, or the pixel `above` the group.
    static Reg below(Reg a, Reg previous) { return _mm_alignr_epi8(a, previous, 12); }
    static Reg below_above(Reg a, __m128i above) { return _mm_alignr_epi8(a, _mm_slli_si128(above, 12), 12); }
    // Blocks (row_group::RowGroup::block): four pixels of each of the four rows
    // at at[0..3] to and from four registers, one a step, by one 4x4 turn of
    // the lanes. 3-byte pixels are spread to four bytes on loading, which reads
    // 4 bytes past the four pixels, and stored as 12 bytes: the next 4 are the
    // row's next pixel, not yet reconstructed.
    template <int Bpp>
    static void load_block(const uint8_t* const (&at)[kRows], Reg (&v)[kRows]) {
        const Reg spread = _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
        for (int h = 0; h < kRows; ++h) {
            const Reg x = _mm_loadu_si128(reinterpret_cast<const Reg*>(at[h]));
            v[h] = Bpp == 3 ? _mm_shuffle_epi8(x, spread) : x;
        }
        transpose(v);
    }
    template <int Bpp>
    static void store_block(uint8_t* const (&at)[kRows], Reg (&v)[kRows]) {
        const Reg pack = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
        transpose(v);
        for (int h = 0; h < kRows; ++h) {
            if constexpr (Bpp == 4) {
                _mm_storeu_si128(reinterpret_cast<Reg*>(at[h]), v[h]);
            } else {
                const Reg x = _mm_shuffle_epi8(v[h], pack);
                _mm_storel_epi64(reinterpret_cast<Reg*>(at[h]), x);
                const auto last = static_cast<uint32_t>(_mm_extract_epi32(x, 2));
                std::memcpy(at[h] + 8, &last, 4);
            }
        }
    }
    // Four by four lanes, rows to steps and back.
    static void transpose(Reg (&x)[kRows]) {
        const Reg t0 = _mm_unpacklo_epi32(x[0], x[1]), t1 = _mm_unpackhi_epi32(x[0], x[1]);
        const Reg t2 = _mm_unpacklo_epi32(x[2], x[3]), t3 = _mm_unpackhi_epi32(x[2], x[3]);
        x[0] = _mm_unpacklo_epi64(t0, t2);
        x[1] = _mm_unpackhi_epi64(t0, t2);
        x[2] = _mm_unpacklo_epi64(t1, t3);
        x[3] = _mm_unpackhi_epi64(t1, t3);
    }
    // Each row's pixel in the low 32 bits of d[row], to and from the lanes.
    static Reg widen(const __m128i (&d)[kRows]) {
        return _mm_unpacklo_epi64(_mm_unpacklo_epi32(d[0], d[1]), _mm_unpacklo_epi32(d[2], d[3]));
    }
    static void narrow(Reg a, __m128i (&out)[kRows]) {
        out[0] = a;
        out[1] = _mm_srli_si128(a, 4);
        out[2] = _mm_srli_si128(a, 8);
        out[3] = _mm_srli_si128(a, 12);
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

#endif
