#include "bmp/rows.hpp"

#include "bmp/rows_ssse3.hpp"

namespace vextaro::bmp {

void bgr_to_rgb(const uint8_t* bgr, size_t width, uint8_t* rgb) {
    if (ssse3::available()) return ssse3::swap_red_blue(bgr, width, rgb);
    for (size_t x = 0; x < width; ++x, bgr += 3, rgb += 3) {
        const uint8_t b = bgr[0], g = bgr[1], r = bgr[2];
        rgb[0] = r;
        rgb[1] = g;
        rgb[2] = b;
    }
}

}  // namespace vextaro::bmp
