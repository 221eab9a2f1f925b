// What an expanded open reads beyond 8-bit RGB/RGBA: every colour type and bit
// depth, Adam7, PLTE and tRNS; the sizes of the scanlines and the result. Plain C++.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "png/errors.hpp"
#include "png/header.hpp"

namespace vextaro::png {

// The PLTE and tRNS chunks as read (their first bytes, and their full sizes);
// they are judged only once the colour type is known.
struct ColourChunks {
    std::array<uint8_t, 768> palette{};
    std::array<uint8_t, 256> transparency{};
    size_t palette_size = 0, transparency_size = 0;
    bool has_palette = false, has_transparency = false;

    void keep_palette(std::span<const uint8_t> data);
    void keep_transparency(std::span<const uint8_t> data);
};

// The first check a header fails for an expanded open, or nothing.
std::optional<Error> expansion_refusal(const Header& h, const ColourChunks& c);

// Whether an expanded image's pixels carry alpha: an alpha channel or a tRNS chunk.
bool expanded_has_alpha(const Header& h, const ColourChunks& c);

// Samples per pixel in the file: 1 grey or index, 2 grey+alpha, 3 RGB, 4 RGBA.
int samples_of(int colour_type);

// One Adam7 pass (or the whole image, not interlaced): where its pixels go.
struct Pass {
    size_t x0, y0, dx, dy, width, height;
    uint64_t row_bytes;  // without the filter-type byte
};

// The passes of an image with an accepted header: one, or Adam7's seven (empty
// ones included, which have no scanlines).
struct Passes {
    std::array<Pass, 7> pass;
    int count;
    int filter_bpp;  // bytes a filter looks back: those of a pixel, at least one
};
Passes passes_of(const Header& h);

// The inflated length the passes need, or nullopt when it, or the RGB pixels
// (width * height * 3), would exceed `max_size`.
std::optional<uint64_t> expanded_scanline_bytes(const Header& h, uint64_t max_size);

// Whether an expanded image keeps a chunk of this type: IHDR, IDAT and IEND,
// the ancillary chunks whose meaning outlives a change of colour type and
// depth, and every chunk marked safe to copy.
bool kept_when_expanded(std::span<const uint8_t> type);

}  // namespace vextaro::png
