#include "png/expanded_format.hpp"

#include <algorithm>
#include <cstring>

namespace vextaro::png {

void ColourChunks::keep_palette(std::span<const uint8_t> data) {
    has_palette = true;
    palette_size = data.size();
    std::memcpy(palette.data(), data.data(), std::min(data.size(), palette.size()));
}

void ColourChunks::keep_transparency(std::span<const uint8_t> data) {
    has_transparency = true;
    transparency_size = data.size();
    std::memcpy(transparency.data(), data.data(), std::min(data.size(), transparency.size()));
}

int samples_of(int colour_type) {
    switch (colour_type) {
        case 2: return 3;
        case 4: return 2;
        case 6: return 4;
        default: return 1;
    }
}

namespace {

bool depth_allowed(int colour_type, int depth) {
    switch (colour_type) {
        case 0: return depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
        case 3: return depth == 1 || depth == 2 || depth == 4 || depth == 8;
        case 2:
        case 4:
        case 6: return depth == 8 || depth == 16;
        default: return false;
    }
}

// tRNS sizes the colour types take: a grey sample, three RGB samples, an alpha per palette entry.
bool transparency_fits(const Header& h, const ColourChunks& c) {
    switch (h.colour_type) {
        case 0: return c.transparency_size == 2;
        case 2: return c.transparency_size == 6;
        case 3: return c.transparency_size <= c.transparency.size();
        default: return true;  // ignored: these types carry alpha of their own
    }
}

constexpr size_t kX0[] = {0, 4, 0, 2, 0, 1, 0}, kY0[] = {0, 0, 4, 0, 2, 0, 1};
constexpr size_t kDx[] = {8, 8, 4, 4, 2, 2, 1}, kDy[] = {8, 8, 8, 4, 4, 2, 2};

size_t count_from(size_t length, size_t start, size_t step) {
    return length > start ? (length - start + step - 1) / step : 0;
}

}  // namespace

std::optional<Error> expansion_refusal(const Header& h, const ColourChunks& c) {
    if (h.width == -1 || h.height == -1 || h.bit_depth == -1 || h.colour_type == -1 || h.compression == -1 ||
        h.filter == -1 || h.interlace == -1)
        return Error::IncompleteHeader;
    if (!depth_allowed(h.colour_type, h.bit_depth)) return Error::InvalidDepth;
    if (h.compression != 0 || h.filter != 0 || (h.interlace != 0 && h.interlace != 1)) return Error::Configuration;
    if (h.colour_type == 3) {
        if (!c.has_palette) return Error::MissingPalette;
        if (c.palette_size == 0 || c.palette_size % 3 != 0 || c.palette_size > c.palette.size())
            return Error::BadPalette;
    }
    if (c.has_transparency && !transparency_fits(h, c)) return Error::BadTransparency;
    return std::nullopt;
}

bool expanded_has_alpha(const Header& h, const ColourChunks& c) {
    return h.colour_type == 4 || h.colour_type == 6 || c.has_transparency;
}

Passes passes_of(const Header& h) {
    const auto width = static_cast<size_t>(h.width), height = static_cast<size_t>(h.height);
    const uint64_t bits = uint64_t(samples_of(h.colour_type)) * uint64_t(h.bit_depth);
    Passes p{{}, h.interlace == 1 ? 7 : 1, static_cast<int>(std::max<uint64_t>(1, bits / 8))};
    for (int k = 0; k < p.count; ++k) {
        const bool one = p.count == 1;
        Pass& s = p.pass[k];
        s.x0 = one ? 0 : kX0[k], s.y0 = one ? 0 : kY0[k], s.dx = one ? 1 : kDx[k], s.dy = one ? 1 : kDy[k];
        s.width = count_from(width, s.x0, s.dx);
        // An empty pass has no scanlines; an image with no columns has a filter byte a row.
        s.height = one || s.width > 0 ? count_from(height, s.y0, s.dy) : 0;
        s.row_bytes = (uint64_t(s.width) * bits + 7) / 8;
    }
    return p;
}

std::optional<uint64_t> expanded_scanline_bytes(const Header& h, uint64_t max_size) {
    if (h.width < 0 || h.height < 0) return std::nullopt;
    uint64_t total = 0, rgb = 0;
    if (__builtin_mul_overflow(uint64_t(h.width) * uint64_t(h.height), uint64_t{3}, &rgb) || rgb > max_size)
        return std::nullopt;
    const Passes p = passes_of(h);
    for (int k = 0; k < p.count; ++k) {
        uint64_t bytes;
        if (__builtin_mul_overflow(p.pass[k].row_bytes + 1, uint64_t(p.pass[k].height), &bytes) ||
            __builtin_add_overflow(total, bytes, &total))
            return std::nullopt;
    }
    if (total > max_size) return std::nullopt;
    return total;
}

bool kept_when_expanded(std::span<const uint8_t> type) {
    // The frame of the file, then the ancillary chunks that describe the pixels in any colour type.
    static constexpr char kKept[][5] = {"IHDR", "IDAT", "IEND", "tEXt", "zTXt", "iTXt", "pHYs",
                                        "tIME", "gAMA", "cHRM", "sRGB", "iCCP", "eXIf"};
    if (type.size() != 4) return false;
    for (const char* kept : kKept)
        if (std::memcmp(type.data(), kept, 4) == 0) return true;
    // The fourth letter's case bit: lower case marks a chunk safe to copy.
    return (type[3] & 0x20) != 0;
}

}  // namespace vextaro::png
