#include "png/planes.hpp"

#include <cstring>

#include "png/planes_avx2.hpp"
#include "png/planes_ssse3.hpp"
#include "simd/cpu.hpp"

namespace vextaro::png {

namespace {

void split_rgba(const uint8_t* row, size_t width, uint8_t* rgb, uint8_t* alpha) {
    for (size_t x = 0; x < width; ++x, row += 4, rgb += 3) {
        const uint8_t r = row[0], g = row[1], b = row[2];
        alpha[x] = row[3];
        rgb[0] = r;
        rgb[1] = g;
        rgb[2] = b;
    }
}

void join_rgba(const uint8_t* rgb, const uint8_t* alpha, size_t width, uint8_t* row) {
    for (size_t x = 0; x < width; ++x, rgb += 3, row += 4) {
        row[0] = rgb[0];
        row[1] = rgb[1];
        row[2] = rgb[2];
        row[3] = alpha[x];
    }
}

// The RGBA kernels for this CPU, chosen once.
struct PlaneKernels {
    void (*split)(const uint8_t*, size_t, uint8_t*, uint8_t*) = split_rgba;
    void (*join)(const uint8_t*, const uint8_t*, size_t, uint8_t*) = join_rgba;
};

PlaneKernels choose() {
    PlaneKernels k;
    if constexpr (simd::kX86Dispatch) {
        const simd::Cpu cpu = simd::cpu();
        if (cpu.ssse3) k = {ssse3::split_rgba, ssse3::join_rgba};
        if (cpu.avx2) k.split = avx2::split_rgba;
    }
    return k;
}

const PlaneKernels& kernels() {
    static const PlaneKernels chosen = choose();
    return chosen;
}

}  // namespace

void split_pixels(const uint8_t* row, size_t width, int bpp, uint8_t* rgb, uint8_t* alpha) {
    if (bpp == 3) {
        std::memmove(rgb, row, width * 3);
        return;
    }
    kernels().split(row, width, rgb, alpha);
}

void join_pixels(const uint8_t* rgb, const uint8_t* alpha, size_t width, int bpp, uint8_t* row) {
    if (bpp == 3) {
        std::memcpy(row, rgb, width * 3);
        return;
    }
    kernels().join(rgb, alpha, width, row);
}

}  // namespace vextaro::png
