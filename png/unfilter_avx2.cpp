#include "png/unfilter_avx2.hpp"

#if VEXTARO_X86_DISPATCH

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "png/pixel_lanes.hpp"
#include "simd/target.hpp"

VEXTARO_TARGET_BEGIN("avx2")

#include "png/row_group.hpp"

namespace vextaro::png::avx2 {

namespace {

// A row group's registers (png/row_group.hpp) on bytes: eight rows, one pixel
// each in a 32-bit lane, in two halves of four. As sse41::Lanes, which says
// what each function does.
struct Lanes : lanes::Pixels {
    using Reg = __m256i;
    static constexpr int kRows = 8;
    static constexpr bool kBlocks = true;
    static Reg zero() { return _mm256_setzero_si256(); }
    static Reg add8(Reg x, Reg y) { return _mm256_add_epi8(x, y); }
    static Reg blend(Reg no, Reg yes, Reg mask) { return _mm256_blendv_epi8(no, yes, mask); }
    static Reg average(Reg a, Reg b) {
        const Reg odd = _mm256_and_si256(_mm256_xor_si256(a, b), _mm256_set1_epi8(1));
        return _mm256_sub_epi8(_mm256_avg_epu8(a, b), odd);
    }
    static Reg paeth(Reg a, Reg b, Reg c) {
        const Reg b_up = _mm256_subs_epu8(b, c), b_down = _mm256_subs_epu8(c, b);
        const Reg a_up = _mm256_subs_epu8(a, c), a_down = _mm256_subs_epu8(c, a);
        const Reg pa = _mm256_or_si256(b_up, b_down), pb = _mm256_or_si256(a_up, a_down);
        const Reg up = _mm256_adds_epu8(b_up, a_up), down = _mm256_adds_epu8(b_down, a_down);
        const Reg pc = _mm256_or_si256(_mm256_subs_epu8(up, down), _mm256_subs_epu8(down, up));
        const Reg nearest_bc = _mm256_min_epu8(pb, pc);
        const Reg take_a = _mm256_cmpeq_epi8(_mm256_min_epu8(pa, nearest_bc), pa);
        const Reg take_b = _mm256_cmpeq_epi8(nearest_bc, pb);
        return _mm256_blendv_epi8(_mm256_blendv_epi8(c, b, take_b), a, take_a);
    }
    static Reg rows_of(const uint8_t* filters, uint8_t type) {
        const __m128i types = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(filters));
        return _mm256_cvtepi8_epi32(_mm_cmpeq_epi8(types, _mm_set1_epi8(static_cast<char>(type))));
    }
    // The register's rows moved up by one, the first filled from the row above
    // the group or the previous register's last row: each half's rows move up
    // a lane, taking the last lane of the half below it.
    static Reg below(Reg a, Reg previous) {
        return _mm256_alignr_epi8(a, _mm256_permute2x128_si256(a, previous, 0x03), 12);
    }
    static Reg below_above(Reg a, __m128i above) {
        const Reg lower = _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_slli_si128(above, 12)),
                                                  _mm256_castsi256_si128(a), 1);
        return _mm256_alignr_epi8(a, lower, 12);
    }
    // Blocks (row_group::RowGroup::block): eight pixels of each of the eight
    // rows at at[0..7] to and from eight registers, one a step. A register of
    // rows h and h + 4, four pixels each, turned with three others four lanes
    // at a time, holds four steps' pixels of rows 0-3 and 4-7: no lane crosses
    // a register's halves. 3-byte pixels are spread to four bytes on loading,
    // which reads 4 bytes past the eight pixels; the first four are stored with
    // 4 bytes too many, which the last four then overwrite.
    template <int Bpp>
    static void load_block(const uint8_t* const (&at)[kRows], Reg (&v)[kRows]) {
        for (int h = 0; h < 4; ++h)
            for (int half = 0; half < 2; ++half) {
                const Reg x = _mm256_inserti128_si256(_mm256_castsi128_si256(loadu(at[h] + half * 4 * Bpp)),
                                                      loadu(at[h + 4] + half * 4 * Bpp), 1);
                v[h + 4 * half] = Bpp == 3 ? _mm256_shuffle_epi8(x, spread()) : x;
            }
        transpose(v[0], v[1], v[2], v[3]);
        transpose(v[4], v[5], v[6], v[7]);
    }
    template <int Bpp>
    static void store_block(uint8_t* const (&at)[kRows], Reg (&v)[kRows]) {
        transpose(v[0], v[1], v[2], v[3]);
        transpose(v[4], v[5], v[6], v[7]);
        for (int h = 0; h < 4; ++h)
            for (int half = 0; half < 2; ++half) {
                const Reg x = Bpp == 3 ? _mm256_shuffle_epi8(v[h + 4 * half], pack()) : v[h + 4 * half];
                const __m128i rows[2] = {_mm256_castsi256_si128(x), _mm256_extracti128_si256(x, 1)};
                for (int k = 0; k < 2; ++k) {
                    uint8_t* const p = at[h + 4 * k] + half * 4 * Bpp;
                    if (Bpp == 4 || half == 0) {
                        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), rows[k]);
                    } else {
                        _mm_storel_epi64(reinterpret_cast<__m128i*>(p), rows[k]);
                        const auto last = static_cast<uint32_t>(_mm_extract_epi32(rows[k], 2));
                        std::memcpy(p + 8, &last, 4);
                    }
                }
            }
    }
    static Reg loadu256(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const Reg*>(p)); }
    static __m128i loadu(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
    static Reg spread() {
        return _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1, 0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8,
                                -1, 9, 10, 11, -1);
    }
    static Reg pack() {
        return _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1, 0, 1, 2, 4, 5, 6, 8, 9, 10, 12,
                                13, 14, -1, -1, -1, -1);
    }
    // Four by four lanes in each half, rows to pixels and back.
    static void transpose(Reg& x0, Reg& x1, Reg& x2, Reg& x3) {
        const Reg t0 = _mm256_unpacklo_epi32(x0, x1), t1 = _mm256_unpackhi_epi32(x0, x1);
        const Reg t2 = _mm256_unpacklo_epi32(x2, x3), t3 = _mm256_unpackhi_epi32(x2, x3);
        x0 = _mm256_unpacklo_epi64(t0, t2);
        x1 = _mm256_unpackhi_epi64(t0, t2);
        x2 = _mm256_unpacklo_epi64(t1, t3);
        x3 = _mm256_unpackhi_epi64(t1, t3);
    }
    static Reg widen(const __m128i (&d)[kRows]) {
        const __m128i d01 = _mm_unpacklo_epi32(d[0], d[1]), d23 = _mm_unpacklo_epi32(d[2], d[3]);
        const __m128i d45 = _mm_unpacklo_epi32(d[4], d[5]), d67 = _mm_unpacklo_epi32(d[6], d[7]);
        return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_unpacklo_epi64(d01, d23)),
                                       _mm_unpacklo_epi64(d45, d67), 1);
    }
    static void narrow(Reg a, __m128i (&out)[kRows]) {
        const __m128i low = _mm256_castsi256_si128(a), high = _mm256_extracti128_si256(a, 1);
        out[0] = low;
        out[1] = _mm_srli_si128(low, 4);
        out[2] = _mm_srli_si128(low, 8);
        out[3] = _mm_srli_si128(low, 12);
        out[4] = high;
        out[5] = _mm_srli_si128(high, 4);
        out[6] = _mm_srli_si128(high, 8);
        out[7] = _mm_srli_si128(high, 12);
    }
};

}  // namespace

template <int Bpp>
void rows(uint8_t* const* rows, const uint8_t* filters, size_t count, const uint8_t* up, size_t n) {
    row_group::reconstruct_rows<Lanes, Bpp>(rows, filters, count, up, n);
}

void predict32(const uint8_t* a, const uint8_t* b, const uint8_t* c, uint8_t* paeth, uint8_t* average) {
    const __m256i left = Lanes::loadu256(a), up = Lanes::loadu256(b);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(paeth), Lanes::paeth(left, up, Lanes::loadu256(c)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(average), Lanes::average(left, up));
}

// Instantiated inside the target region, which they would not get outside it.
template void rows<3>(uint8_t* const*, const uint8_t*, size_t, const uint8_t*, size_t);
template void rows<4>(uint8_t* const*, const uint8_t*, size_t, const uint8_t*, size_t);

}  // namespace vextaro::png::avx2

VEXTARO_TARGET_END

#endif
