#include "bmp/rows.hpp"

#include <cstring>

#include "bmp/rows_ssse3.hpp"
#include "simd/cpu.hpp"

namespace vextaro::bmp {

namespace {

void swap_red_blue(const uint8_t* bgr, size_t width, uint8_t* rgb) {
    for (size_t x = 0; x < width; ++x, bgr += 3, rgb += 3) {
        const uint8_t b = bgr[0], g = bgr[1], r = bgr[2];
        rgb[0] = r;
        rgb[1] = g;
        rgb[2] = b;
    }
}

using Swap = void (*)(const uint8_t*, size_t, uint8_t*);

// The swap for this CPU, chosen once.
Swap choose() {
    if constexpr (simd::kX86Dispatch) {
        if (simd::cpu().ssse3) return ssse3::swap_red_blue;
    }
    return swap_red_blue;
}

}  // namespace

void bgr_to_rgb(const uint8_t* bgr, size_t width, uint8_t* rgb) {
    static const Swap swap = choose();
    swap(bgr, width, rgb);
}

void read_rows(const uint8_t* stored, uint64_t rows, uint64_t stride, size_t width, bool bottom_up, uint8_t* rgb) {
    const uint64_t row_bytes = uint64_t{width} * 3;
    for (uint64_t r = 0; r < rows; ++r)
        bgr_to_rgb(stored + r * stride, width, rgb + (bottom_up ? rows - 1 - r : r) * row_bytes);
}

void write_rows(const uint8_t* rgb, size_t width, size_t height, size_t first, size_t count, uint8_t* stored) {
    const size_t stride = static_cast<size_t>(row_stride(static_cast<uint32_t>(width)));
    for (size_t r = 0; r < count; ++r) {
        uint8_t* row = stored + r * stride;
        rgb_to_bgr(rgb + (height - 1 - first - r) * width * 3, width, row);
        std::memset(row + width * 3, 0, stride - width * 3);
    }
}

}  // namespace vextaro::bmp
