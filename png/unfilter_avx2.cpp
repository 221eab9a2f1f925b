#include "png/unfilter_avx2.hpp"

#if VEXTARO_X86_DISPATCH

#include <immintrin.h>

#include <cstddef>

#include "png/pixel_lanes.hpp"
#include "simd/target.hpp"

VEXTARO_TARGET_BEGIN("avx2")

#include "png/row_group.hpp"

namespace vextaro::png::avx2 {

namespace {

// A row group's registers (png/row_group.hpp): four rows, each in a 64-bit
// quarter. As sse41::Lanes, which says what each function does.
struct Lanes {
    using Reg = __m256i;
    static constexpr int kRows = 4;
    static Reg zero() { return _mm256_setzero_si256(); }
    static Reg add8(Reg x, Reg y) { return _mm256_add_epi8(x, y); }
    static Reg blend(Reg no, Reg yes, Reg mask) { return _mm256_blendv_epi8(no, yes, mask); }
    static Reg average(Reg a, Reg b) { return _mm256_srli_epi16(_mm256_add_epi16(a, b), 1); }
    static Reg paeth(Reg a, Reg b, Reg c) {
        const Reg to_b = _mm256_sub_epi16(b, c), to_a = _mm256_sub_epi16(a, c);
        const Reg pa = _mm256_abs_epi16(to_b), pb = _mm256_abs_epi16(to_a);
        const Reg pc = _mm256_abs_epi16(_mm256_add_epi16(to_b, to_a));
        const Reg not_a = _mm256_or_si256(_mm256_cmpgt_epi16(pa, pb), _mm256_cmpgt_epi16(pa, pc));
        const Reg b_or_c = _mm256_blendv_epi8(b, c, _mm256_cmpgt_epi16(pb, pc));
        return _mm256_blendv_epi8(a, b_or_c, not_a);
    }
    static Reg rows_of(const uint8_t* filters, uint8_t type) {
        return _mm256_set_epi64x(-int64_t{filters[3] == type}, -int64_t{filters[2] == type},
                                 -int64_t{filters[1] == type}, -int64_t{filters[0] == type});
    }
    // The register's quarters moved up by one, the first filled from the row
    // above the group or the previous register's last row.
    static Reg below(Reg a, Reg previous) {
        return _mm256_blend_epi32(_mm256_permute4x64_epi64(a, 0x90), _mm256_permute4x64_epi64(previous, 0xff), 0x03);
    }
    static Reg below_above(Reg a, __m128i above) {
        return _mm256_blend_epi32(_mm256_permute4x64_epi64(a, 0x90), _mm256_castsi128_si256(_mm_cvtepu8_epi16(above)),
                                  0x03);
    }
    static Reg widen(const __m128i (&d)[kRows]) {
        const __m128i d01 = _mm_unpacklo_epi32(d[0], d[1]), d23 = _mm_unpacklo_epi32(d[2], d[3]);
        return _mm256_cvtepu8_epi16(_mm_unpacklo_epi64(d01, d23));
    }
    static void narrow(Reg a, __m128i (&out)[kRows]) {
        const Reg bytes = _mm256_packus_epi16(a, a);
        out[0] = _mm256_castsi256_si128(bytes);
        out[1] = _mm_srli_si128(out[0], 4);
        out[2] = _mm256_extracti128_si256(bytes, 1);
        out[3] = _mm_srli_si128(out[2], 4);
    }
};

}  // namespace

template <int Bpp>
void rows(uint8_t* const* rows, const uint8_t* filters, size_t count, const uint8_t* up, size_t n) {
    row_group::reconstruct_rows<Lanes, Bpp>(rows, filters, count, up, n);
}

// Instantiated inside the target region, which they would not get outside it.
template void rows<3>(uint8_t* const*, const uint8_t*, size_t, const uint8_t*, size_t);
template void rows<4>(uint8_t* const*, const uint8_t*, size_t, const uint8_t*, size_t);

}  // namespace vextaro::png::avx2

VEXTARO_TARGET_END

namespace vextaro::png::avx2 {

bool available() {
    static const bool supported = __builtin_cpu_supports("avx2");
    return supported;
}

}  // namespace vextaro::png::avx2

#else

namespace vextaro::png::avx2 {

bool available() { return false; }
template <int Bpp>
void rows(uint8_t* const*, const uint8_t*, size_t, const uint8_t*, size_t) {
    VEXTARO_UNREACHABLE_KERNEL();
}

template void rows<3>(uint8_t* const*, const uint8_t*, size_t, const uint8_t*, size_t);
template void rows<4>(uint8_t* const*, const uint8_t*, size_t, const uint8_t*, size_t);

}  // namespace vextaro::png::avx2

#endif
