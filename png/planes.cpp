#include "png/planes.hpp"

#include <cstring>

#include "png/planes_avx2.hpp"
#include "png/planes_ssse3.hpp"
#include "png/unfilter_avx2.hpp"

namespace vextaro::png {

void split_pixels(const uint8_t* row, size_t width, int bpp, uint8_t* rgb, uint8_t* alpha) {
    if (bpp == 3) {
        std::memmove(rgb, row, width * 3);
        return;
    }
    if (avx2::available()) return avx2::split_rgba(row, width, rgb, alpha);
    if (ssse3::available()) return ssse3::split_rgba(row, width, rgb, alpha);
    for (size_t x = 0; x < width; ++x, row += 4, rgb += 3) {
        const uint8_t r = row[0], g = row[1], b = row[2];
        alpha[x] = row[3];
        rgb[0] = r;
        rgb[1] = g;
        rgb[2] = b;
    }
}

void join_pixels(const uint8_t* rgb, const uint8_t* alpha, size_t width, int bpp, uint8_t* row) {
    if (bpp == 3) {
        std::memcpy(row, rgb, width * 3);
        return;
    }
    if (ssse3::available()) return ssse3::join_rgba(rgb, alpha, width, row);
    for (size_t x = 0; x < width; ++x, rgb += 3, row += 4) {
        row[0] = rgb[0];
        row[1] = rgb[1];
        row[2] = rgb[2];
        row[3] = alpha[x];
    }
}

}  // namespace vextaro::png
