// One pixel (3 or 4 bytes) in the low lanes of a vector register, for the
// reconstruction loops whose work goes pixel by pixel. A 3-byte pixel is put
// together byte by byte: a 4-byte access would touch the next pixel, and a
// 3-byte memcpy goes through the stack, where the wide reload waits for the
// narrow stores to drain.
#pragma once

#include <emmintrin.h>

#include <cstdint>
#include <cstring>

namespace vextaro::png::lanes {

template <int Bpp>
inline __m128i load(const uint8_t* p) {
    uint32_t v;
    if constexpr (Bpp == 4) {
        std::memcpy(&v, p, 4);
    } else {
        v = uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16;
    }
    return _mm_cvtsi32_si128(static_cast<int>(v));
}

template <int Bpp>
inline void store(uint8_t* p, __m128i v) {
    const auto bits = static_cast<uint32_t>(_mm_cvtsi128_si32(v));
    if constexpr (Bpp == 4) {
        std::memcpy(p, &bits, 4);
    } else {
        // Two bytes and one, spelled out: left to merge three byte stores, the
        // compiler does so in some loops and not in others.
        const auto low = static_cast<uint16_t>(bits);
        std::memcpy(p, &low, 2);
        p[2] = static_cast<uint8_t>(bits >> 16);
    }
}

// How a row group (png/row_group.hpp) moves one pixel of a row: in the low
// lanes of an SSE register, for every x86 register type.
struct Pixels {
    using Pixel = __m128i;
    static Pixel no_pixel() { return _mm_setzero_si128(); }
    template <int Bpp>
    static Pixel load_pixel(const uint8_t* p) {
        return load<Bpp>(p);
    }
    template <int Bpp>
    static void store_pixel(uint8_t* p, Pixel v) {
        store<Bpp>(p, v);
    }
};

}  // namespace vextaro::png::lanes
