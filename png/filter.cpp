#include "png/filter.hpp"

#include <cstring>

#include "png/filter_sse2.hpp"
#include "png/paeth.hpp"
#include "png/planes.hpp"

namespace vextaro::png {

namespace {

// How many bytes from bpp on the vector code filtered (none without SSE2).
inline size_t vector_paeth(const uint8_t* raw, const uint8_t* up, uint8_t* out, size_t n, int bpp) {
#if VEXTARO_SSE2
    return sse2::paeth_filter(raw, up, out, n, bpp);
#else
    (void)raw, (void)up, (void)out, (void)n, (void)bpp;
    return 0;
#endif
}

// Every output byte depends on raw bytes only, so these loops have no chain
// from byte to byte and the compiler vectorises them.
template <int Bpp>
void filter(uint8_t type, const uint8_t* raw, const uint8_t* up, uint8_t* out, size_t n) {
    const size_t head = n < Bpp ? n : Bpp;
    switch (type) {
        case 0: std::memcpy(out, raw, n); return;
        case 1:
            std::memcpy(out, raw, head);
            for (size_t i = Bpp; i < n; ++i) out[i] = static_cast<uint8_t>(raw[i] - raw[i - Bpp]);
            return;
        case 2:
            for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(raw[i] - up[i]);
            return;
        case 3:
            for (size_t i = 0; i < head; ++i) out[i] = static_cast<uint8_t>(raw[i] - (up[i] >> 1));
            for (size_t i = Bpp; i < n; ++i) out[i] = static_cast<uint8_t>(raw[i] - ((raw[i - Bpp] + up[i]) >> 1));
            return;
        default:
            // Left and upper-left are 0 in the first pixel, where Paeth predicts the up byte.
            for (size_t i = 0; i < head; ++i) out[i] = static_cast<uint8_t>(raw[i] - up[i]);
            for (size_t i = Bpp + vector_paeth(raw, up, out, n, Bpp); i < n; ++i)
                out[i] = static_cast<uint8_t>(raw[i] - paeth_predictor(raw[i - Bpp], up[i], up[i - Bpp]));
            return;
    }
}

}  // namespace

void filter_row(uint8_t type, std::span<const uint8_t> raw, std::span<const uint8_t> previous, uint8_t* out, int bpp) {
    const uint8_t* up = previous.data();
    if (previous.empty() && type >= 2) {
        // Above the top row everything is zero: Up keeps the bytes, Paeth predicts
        // the left byte as Sub does, and Average halves the left byte.
        if (type == 3) {
            const size_t n = raw.size(), head = n < size_t(bpp) ? n : size_t(bpp);
            std::memcpy(out, raw.data(), head);
            for (size_t i = head; i < n; ++i) out[i] = static_cast<uint8_t>(raw[i] - (raw[i - bpp] >> 1));
            return;
        }
        type = type == 2 ? 0 : 1;
    }
    if (bpp == 3) {
        filter<3>(type, raw.data(), up, out, raw.size());
    } else {
        filter<4>(type, raw.data(), up, out, raw.size());
    }
}

std::optional<BadFilter> encode_scanlines(const uint8_t* rgb, const uint8_t* alpha, size_t width, size_t height,
                                          int bpp, const uint8_t* filters, uint8_t* out, uint8_t* rgba_rows) {
    if (height == 0) return std::nullopt;
    const size_t stride = width * static_cast<size_t>(bpp);
    // RGB rows are read where they lie; RGBA rows are assembled, two at a time.
    std::span<const uint8_t> previous;
    for (size_t y = 0; y < height; ++y) {
        const uint8_t type = filters != nullptr ? filters[y] : 0;
        if (type >= kFilterTypes) return BadFilter{y, type};
        const uint8_t* raw = rgb + y * width * 3;
        if (bpp == 4) {
            uint8_t* row = rgba_rows + (y % 2) * stride;
            join_pixels(raw, alpha + y * width, width, 4, row);
            raw = row;
        }
        uint8_t* line = out + y * (stride + 1);
        line[0] = type;
        filter_row(type, {raw, stride}, previous, line + 1, bpp);
        previous = {raw, stride};
    }
    return std::nullopt;
}

}  // namespace vextaro::png
