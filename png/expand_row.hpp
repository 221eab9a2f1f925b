// Reconstructed scanline rows of any colour type and bit depth turned into RGB
// and alpha. Plain C++.
#pragma once

#include <cstddef>
#include <cstdint>

#include "png/expanded_format.hpp"
#include "png/header.hpp"

namespace vextaro::png {

class RowExpander {
public:
    // For a header and colour chunks that expansion_refusal accepts.
    RowExpander(const Header& h, const ColourChunks& c);

    // Expands the first `count` pixels of `row` into RGB triples `step` pixels
    // apart from `rgb` and, where `alpha` is not null, their alpha `step` apart.
    // False when a palette index is past the palette.
    bool expand(const uint8_t* row, size_t count, uint8_t* rgb, uint8_t* alpha, size_t step) const;

private:
    bool grey(const uint8_t* row, size_t count, uint8_t* rgb, uint8_t* alpha, size_t step) const;
    bool indexed(const uint8_t* row, size_t count, uint8_t* rgb, uint8_t* alpha, size_t step) const;
    bool colour(const uint8_t* row, size_t count, uint8_t* rgb, uint8_t* alpha, size_t step) const;

    int colour_type_, depth_;
    // tRNS of grey (key_[0]) or RGB, at the file's own depth; keyed_ when present.
    uint16_t key_[3] = {};
    bool keyed_ = false;
    // Palette entries as RGBA, their alpha from tRNS (opaque past its list).
    uint8_t table_[256][4] = {};
    size_t entries_ = 0;
};

}  // namespace vextaro::png
