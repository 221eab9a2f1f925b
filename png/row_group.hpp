// Row groups: consecutive rows whose bytes wait on the pixel to their left
// (Sub, Average, Paeth, in any order) reconstructed side by side. Row k of a
// group works on pixel i - k while row 0 works on pixel i, so what a row needs
// from above is what the row before it finished one step earlier. Each row
// still waits on its left pixel, but the rows of a register share every trip
// through the predictor, and the registers' chains run side by side. Before its
// first pixel a row sees zeros all round, which every predictor turns into
// zeros, so the rows' staggered starts need no code of their own.
//
// One driver for every register width and instruction set: the SSE2 and NEON
// kernels include this header as it is, the SSE4.1 and AVX2 ones inside their
// target region (simd/target.hpp), and each gives it its register type `V` (see
// unfilter_sse41.cpp), which holds V::kRows rows a pixel each: on SSE2 in 16-bit
// lanes, four to a pixel; on SSE4.1, AVX2 and NEON in bytes, which also load and
// store blocks of steps (V::kBlocks). V also says how one pixel of a row is
// loaded and stored (V::Pixel; on x86, lanes::Pixels in png/pixel_lanes.hpp).
#pragma once

#include <cstddef>
#include <cstdint>

namespace vextaro::png::row_group {

// Which predictors a group needs: one alone saves the others' work.
enum class Mix { kPaeth, kAverage, kMixed };

// The lanes of a mixed group's Sub rows and of its Paeth rows; nothing for a
// group of one type, whose state then stays small enough for the compiler to
// keep in registers.
template <class V, int Regs, bool kMixed>
struct Masks {
    typename V::Reg sub[Regs], paeth[Regs];
};
template <class V, int Regs>
struct Masks<V, Regs, false> {};

template <class V, int Bpp, int Regs, Mix M>
struct RowGroup {
    using Reg = typename V::Reg;
    using Pixel = typename V::Pixel;
    // The rows' addresses, kept here rather than read from the caller's array,
    // which the byte stores could alias as far as the compiler knows.
    uint8_t* rows[V::kRows * Regs];
    const uint8_t* up;
    ptrdiff_t pixels;
    Reg a[Regs], c[Regs];  // each row's last pixel and the one above it
    [[no_unique_address]] Masks<V, Regs, M == Mix::kMixed> masks;

    // Pixel p of row k, or zeros outside the row.
    template <bool kEdge>
    Pixel pixel(int k, ptrdiff_t p) const {
        if (kEdge && (p < 0 || p >= pixels)) return V::no_pixel();
        constexpr int kBytes = kEdge ? Bpp : 4;
        return V::template load_pixel<kBytes>(rows[k] + p * Bpp);
    }

    Reg predict(int r, Reg b) const {
        if constexpr (M == Mix::kPaeth) {
            return V::paeth(a[r], b, c[r]);
        } else if constexpr (M == Mix::kAverage) {
            return V::average(a[r], b);
        } else {
            // Sub is the average of the left pixel with itself. The Average
            // lanes are ready before Paeth's, whose choice then only picks.
            const Reg linear = V::average(a[r], V::blend(b, a[r], masks.sub[r]));
            return V::blend(linear, V::paeth(a[r], b, c[r]), masks.paeth[r]);
        }
    }

    // How a step loads its rows' pixels and stores them. kEdge checks each
    // row's bounds, byte by byte for 3-byte pixels; the steps between the
    // edges load 4 bytes. kAhead, for 3-byte pixels, finds its pixels loaded by
    // the step before, loads the next step's, and only then stores 4 bytes:
    // one store where there were two, and the fourth byte, which lands on the
    // next pixel, lands on bytes already loaded. (Stored before that load, it
    // would make the load wait for the store.) kLast is the step after the last
    // kAhead one: pixels loaded ahead, 3 bytes stored.
    enum class Step { kEdge, kInner, kAhead, kLast };

    Reg ahead[Regs];  // kAhead's loads for the next step, widened

    void load_ahead(ptrdiff_t i) {
        for (int r = 0; r < Regs; ++r) {
            Pixel d[V::kRows];
            for (int h = 0; h < V::kRows; ++h)
                d[h] = V::template load_pixel<4>(rows[r * V::kRows + h] + (i - r * V::kRows - h) * Bpp);
            ahead[r] = V::widen(d);
        }
    }

    // Steps i to i + V::kRows - 1 at once, on lanes whose registers turn rows
    // into steps (V::kBlocks): each row's pixels of those steps are loaded and
    // stored with a few wide accesses instead of one access a pixel.
    void block(ptrdiff_t i) {
        Reg v[Regs][V::kRows];
        for (int r = 0; r < Regs; ++r) {
            const uint8_t* at[V::kRows];
            for (int h = 0; h < V::kRows; ++h) at[h] = rows[r * V::kRows + h] + (i - r * V::kRows - h) * Bpp;
            V::template load_block<Bpp>(at, v[r]);
        }
        for (int j = 0; j < V::kRows; ++j) {
            Reg b[Regs];
            b[0] = V::below_above(a[0], V::template load_pixel<4>(up + (i + j) * Bpp));
            for (int r = 1; r < Regs; ++r) b[r] = V::below(a[r], a[r - 1]);
            for (int r = 0; r < Regs; ++r) {
                v[r][j] = a[r] = V::add8(v[r][j], predict(r, b[r]));
                c[r] = b[r];
            }
        }
        for (int r = 0; r < Regs; ++r) {
            uint8_t* at[V::kRows];
            for (int h = 0; h < V::kRows; ++h) at[h] = rows[r * V::kRows + h] + (i - r * V::kRows - h) * Bpp;
            V::template store_block<Bpp>(at, v[r]);
        }
    }

    // Step i: row k of the group reconstructs its pixel i - k.
    template <Step S>
    void step(ptrdiff_t i) {
        constexpr bool kEdge = S == Step::kEdge;
        constexpr int kAboveBytes = kEdge ? Bpp : 4;
        const Pixel above = kEdge && i >= pixels ? V::no_pixel() : V::template load_pixel<kAboveBytes>(up + i * Bpp);
        Reg b[Regs];
        b[0] = V::below_above(a[0], above);
        for (int r = 1; r < Regs; ++r) b[r] = V::below(a[r], a[r - 1]);
        for (int r = 0; r < Regs; ++r) {
            Reg filtered;
            if constexpr (S == Step::kAhead || S == Step::kLast) {
                filtered = ahead[r];
            } else {
                Pixel d[V::kRows];
                for (int h = 0; h < V::kRows; ++h) d[h] = pixel<kEdge>(r * V::kRows + h, i - r * V::kRows - h);
                filtered = V::widen(d);
            }
            // Lanes hold bytes, so a byte add wraps each sum as the format does.
            a[r] = V::add8(filtered, predict(r, b[r]));
            c[r] = b[r];
        }
        if constexpr (S == Step::kAhead) load_ahead(i + 1);
        for (int r = 0; r < Regs; ++r) {
            Pixel out[V::kRows];
            V::narrow(a[r], out);
            for (int h = 0; h < V::kRows; ++h) {
                const ptrdiff_t p = i - r * V::kRows - h;
                uint8_t* const at = rows[r * V::kRows + h] + p * Bpp;
                if constexpr (S == Step::kAhead) {
                    V::template store_pixel<4>(at, out[h]);
                } else if (!kEdge || (p >= 0 && p < pixels)) {
                    V::template store_pixel<Bpp>(at, out[h]);
                }
            }
        }
    }
};

template <class V, int Bpp, int Regs, Mix M>
void reconstruct(uint8_t* const* rows, const uint8_t* filters, const uint8_t* up, size_t n) {
    constexpr ptrdiff_t kLag = V::kRows * Regs - 1;
    RowGroup<V, Bpp, Regs, M> group{{}, up, static_cast<ptrdiff_t>(n / Bpp), {}, {}, {}, {}};
    for (int k = 0; k < V::kRows * Regs; ++k) group.rows[k] = rows[k];
    for (int r = 0; r < Regs; ++r) {
        group.a[r] = group.c[r] = V::zero();
        if constexpr (M == Mix::kMixed) {
            group.masks.sub[r] = V::rows_of(filters + r * V::kRows, 1);
            group.masks.paeth[r] = V::rows_of(filters + r * V::kRows, 4);
        }
    }
    // Away from the edges a 3-byte pixel is loaded as 4 bytes, one load instead
    // of three; the fourth lane is never stored. So those steps stop a pixel
    // short of the end of row 0 and of the row above, the only rows they could
    // otherwise read past. They store 3 bytes: 4 would land on the next load,
    // which would then wait for the store, unless it ran first (kAhead).
    const ptrdiff_t inner_end = group.pixels - (Bpp == 3 ? 1 : 0);
    using Step = typename decltype(group)::Step;
    ptrdiff_t i = 0;
    for (; i < kLag && i < group.pixels; ++i) group.template step<Step::kEdge>(i);
    // A block of 3-byte pixels reads 4 bytes past the end of its pixels.
    if constexpr (V::kBlocks)
        for (; i + V::kRows + (Bpp == 3 ? 2 : 0) <= group.pixels; i += V::kRows) group.block(i);
    if constexpr (Bpp == 3) {
        if (i < inner_end) {
            group.load_ahead(i);
            for (; i < inner_end - 1; ++i) group.template step<Step::kAhead>(i);
            group.template step<Step::kLast>(i++);
        }
    }
    for (; i < inner_end; ++i) group.template step<Step::kInner>(i);
    for (; i < group.pixels + kLag; ++i) group.template step<Step::kEdge>(i);
}

// A group of `count` rows, one or two registers' worth.
template <class V, int Bpp>
void reconstruct_rows(uint8_t* const* rows, const uint8_t* filters, size_t count, const uint8_t* up, size_t n) {
    bool paeth = true, average = true;
    for (size_t k = 0; k < count; ++k) paeth &= filters[k] == 4, average &= filters[k] == 3;
    const Mix mix = paeth ? Mix::kPaeth : average ? Mix::kAverage : Mix::kMixed;
    if (count == 2 * V::kRows) {
        if (mix == Mix::kPaeth) return reconstruct<V, Bpp, 2, Mix::kPaeth>(rows, filters, up, n);
        if (mix == Mix::kAverage) return reconstruct<V, Bpp, 2, Mix::kAverage>(rows, filters, up, n);
        return reconstruct<V, Bpp, 2, Mix::kMixed>(rows, filters, up, n);
    }
    if (mix == Mix::kPaeth) return reconstruct<V, Bpp, 1, Mix::kPaeth>(rows, filters, up, n);
    if (mix == Mix::kAverage) return reconstruct<V, Bpp, 1, Mix::kAverage>(rows, filters, up, n);
    reconstruct<V, Bpp, 1, Mix::kMixed>(rows, filters, up, n);
}

}  // namespace vextaro::png::row_group
