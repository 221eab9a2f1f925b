#include "png/unfilter_neon.hpp"

#if VEXTARO_NEON

#include <arm_neon.h>

#include <cstring>

#include "png/row_group.hpp"

namespace vextaro::png::neon {

namespace {

// A row group's registers (png/row_group.hpp) on bytes: four rows, one pixel
// each in a 32-bit lane, as sse41::Lanes, which says what each function does.
struct Lanes {
    using Reg = uint8x16_t;
    static constexpr int kRows = 4;
    static constexpr bool kBlocks = true;

    // One pixel of a row in the low 32-bit lane, the others zero.
    using Pixel = uint8x16_t;
    static Pixel no_pixel() { return vdupq_n_u8(0); }
    template <int Bpp>
    static Pixel load_pixel(const uint8_t* p) {
        uint32_t v;
        if constexpr (Bpp == 4) {
            std::memcpy(&v, p, 4);
        } else {
            v = uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16;
        }
        return vreinterpretq_u8_u32(vsetq_lane_u32(v, vdupq_n_u32(0), 0));
    }
    template <int Bpp>
    static void store_pixel(uint8_t* p, Pixel x) {
        const uint32_t bits = vgetq_lane_u32(vreinterpretq_u32_u8(x), 0);
        std::memcpy(p, &bits, Bpp);
    }

    static Reg zero() { return vdupq_n_u8(0); }
    static Reg add8(Reg x, Reg y) { return vaddq_u8(x, y); }
    static Reg blend(Reg no, Reg yes, Reg mask) { return vbslq_u8(mask, yes, no); }
    // The halving add rounds down, as the filter does.
    static Reg average(Reg a, Reg b) { return vhaddq_u8(a, b); }
    static Reg paeth(Reg a, Reg b, Reg c) {
        const Reg b_up = vqsubq_u8(b, c), b_down = vqsubq_u8(c, b);
        const Reg a_up = vqsubq_u8(a, c), a_down = vqsubq_u8(c, a);
        const Reg pa = vorrq_u8(b_up, b_down), pb = vorrq_u8(a_up, a_down);
        const Reg pc = vabdq_u8(vqaddq_u8(b_up, a_up), vqaddq_u8(b_down, a_down));
        const Reg take_a = vcleq_u8(pa, vminq_u8(pb, pc));
        return vbslq_u8(take_a, a, vbslq_u8(vcleq_u8(pb, pc), b, c));
    }
    static Reg rows_of(const uint8_t* filters, uint8_t type) {
        const uint32x4_t types = {filters[0], filters[1], filters[2], filters[3]};
        return vreinterpretq_u8_u32(vceqq_u32(types, vdupq_n_u32(type)));
    }
    static Reg below(Reg a, Reg previous) { return vextq_u8(previous, a, 12); }
    static Reg below_above(Reg a, Pixel above) { return vextq_u8(vextq_u8(above, above, 4), a, 12); }
    template <int Bpp>
    static void load_block(const uint8_t* const (&at)[kRows], Reg (&v)[kRows]) {
        const Reg spread = {0, 1, 2, 255, 3, 4, 5, 255, 6, 7, 8, 255, 9, 10, 11, 255};
        for (int h = 0; h < kRows; ++h) {
            const Reg x = vld1q_u8(at[h]);
            v[h] = Bpp == 3 ? vqtbl1q_u8(x, spread) : x;
        }
        transpose(v);
    }
    template <int Bpp>
    static void store_block(uint8_t* const (&at)[kRows], Reg (&v)[kRows]) {
        const Reg pack = {0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, 255, 255, 255, 255};
        transpose(v);
        for (int h = 0; h < kRows; ++h) {
            if constexpr (Bpp == 4) {
                vst1q_u8(at[h], v[h]);
            } else {
                const Reg x = vqtbl1q_u8(v[h], pack);
                vst1_u8(at[h], vget_low_u8(x));
                const uint32_t last = vgetq_lane_u32(vreinterpretq_u32_u8(x), 2);
                std::memcpy(at[h] + 8, &last, 4);
            }
        }
    }
    static void transpose(Reg (&x)[kRows]) {
        const uint32x4_t t0 = vtrn1q_u32(vreinterpretq_u32_u8(x[0]), vreinterpretq_u32_u8(x[1]));
        const uint32x4_t t1 = vtrn2q_u32(vreinterpretq_u32_u8(x[0]), vreinterpretq_u32_u8(x[1]));
        const uint32x4_t t2 = vtrn1q_u32(vreinterpretq_u32_u8(x[2]), vreinterpretq_u32_u8(x[3]));
        const uint32x4_t t3 = vtrn2q_u32(vreinterpretq_u32_u8(x[2]), vreinterpretq_u32_u8(x[3]));
        x[0] = vreinterpretq_u8_u64(vtrn1q_u64(vreinterpretq_u64_u32(t0), vreinterpretq_u64_u32(t2)));
        x[1] = vreinterpretq_u8_u64(vtrn1q_u64(vreinterpretq_u64_u32(t1), vreinterpretq_u64_u32(t3)));
        x[2] = vreinterpretq_u8_u64(vtrn2q_u64(vreinterpretq_u64_u32(t0), vreinterpretq_u64_u32(t2)));
        x[3] = vreinterpretq_u8_u64(vtrn2q_u64(vreinterpretq_u64_u32(t1), vreinterpretq_u64_u32(t3)));
    }
    static Reg widen(const Pixel (&d)[kRows]) {
        const uint32x4_t d01 = vzip1q_u32(vreinterpretq_u32_u8(d[0]), vreinterpretq_u32_u8(d[1]));
        const uint32x4_t d23 = vzip1q_u32(vreinterpretq_u32_u8(d[2]), vreinterpretq_u32_u8(d[3]));
        return vreinterpretq_u8_u64(vzip1q_u64(vreinterpretq_u64_u32(d01), vreinterpretq_u64_u32(d23)));
    }
    static void narrow(Reg a, Pixel (&out)[kRows]) {
        out[0] = a;
        out[1] = vextq_u8(a, a, 4);
        out[2] = vextq_u8(a, a, 8);
        out[3] = vextq_u8(a, a, 12);
    }
};

}  // namespace

template <int Bpp>
void rows(uint8_t* const* rows, const uint8_t* filters, size_t count, const uint8_t* up, size_t n) {
    row_group::reconstruct_rows<Lanes, Bpp>(rows, filters, count, up, n);
}

template void rows<3>(uint8_t* const*, const uint8_t*, size_t, const uint8_t*, size_t);
template void rows<4>(uint8_t* const*, const uint8_t*, size_t, const uint8_t*, size_t);

}  // namespace vextaro::png::neon

#endif
