#include "png/expand_row.hpp"

#include <algorithm>

namespace vextaro::png {

namespace {

// Sample i of a row packed at 1, 2 or 4 bits, the leftmost in the high bits.
unsigned packed(const uint8_t* row, size_t i, int depth) {
    const size_t bit = i * static_cast<size_t>(depth);
    return (row[bit >> 3] >> (8 - depth - static_cast<int>(bit & 7))) & ((1u << depth) - 1);
}

unsigned big16(const uint8_t* p) { return unsigned(p[0]) << 8 | p[1]; }

// Exact scaling to 8 bits: the largest sample becomes 255.
unsigned scale_of(int depth) { return depth == 1 ? 255 : depth == 2 ? 85 : depth == 4 ? 17 : 1; }

}  // namespace

RowExpander::RowExpander(const Header& h, const ColourChunks& c) : colour_type_(h.colour_type), depth_(h.bit_depth) {
    const uint8_t* t = c.transparency.data();
    if (c.has_transparency && colour_type_ == 0) key_[0] = uint16_t(big16(t)), keyed_ = true;
    if (c.has_transparency && colour_type_ == 2)
        key_[0] = uint16_t(big16(t)), key_[1] = uint16_t(big16(t + 2)), key_[2] = uint16_t(big16(t + 4)), keyed_ = true;
    if (colour_type_ != 3) return;
    entries_ = std::min<size_t>(c.palette_size / 3, 256);
    const size_t alphas = c.has_transparency ? c.transparency_size : 0;
    for (size_t e = 0; e < entries_; ++e) {
        std::copy_n(c.palette.data() + 3 * e, 3, table_[e]);
        table_[e][3] = e < alphas ? t[e] : 255;
    }
}

bool RowExpander::expand(const uint8_t* row, size_t count, uint8_t* rgb, uint8_t* alpha, size_t step) const {
    switch (colour_type_) {
        case 0:
        case 4: return grey(row, count, rgb, alpha, step);
        case 3: return indexed(row, count, rgb, alpha, step);
        default: return colour(row, count, rgb, alpha, step);
    }
}

// Grey (type 0, tRNS comparing the sample at the file's depth) and grey with alpha (type 4).
bool RowExpander::grey(const uint8_t* row, size_t count, uint8_t* rgb, uint8_t* alpha, size_t step) const {
    const bool with_alpha = colour_type_ == 4;
    const size_t bytes = size_t(depth_ >= 8 ? depth_ / 8 : 0) * (with_alpha ? 2 : 1);
    const unsigned scale = scale_of(depth_);
    for (size_t i = 0; i < count; ++i, rgb += 3 * step) {
        unsigned v, out;
        const uint8_t* p = row + i * bytes;
        if (depth_ == 16) {
            v = big16(p), out = p[0];
        } else if (depth_ == 8) {
            v = out = p[0];
        } else {
            v = packed(row, i, depth_), out = v * scale;
        }
        rgb[0] = rgb[1] = rgb[2] = static_cast<uint8_t>(out);
        if (alpha == nullptr) continue;
        alpha[i * step] = with_alpha ? p[bytes / 2] : (keyed_ && v == key_[0] ? 0 : 255);
    }
    return true;
}

bool RowExpander::indexed(const uint8_t* row, size_t count, uint8_t* rgb, uint8_t* alpha, size_t step) const {
    if (depth_ == 8) {
        // The row's largest index first (a loop the compiler vectorises), then lookups without a check.
        uint8_t largest = 0;
        for (size_t i = 0; i < count; ++i) largest = std::max(largest, row[i]);
        if (count > 0 && largest >= entries_) return false;
        for (size_t i = 0; i < count; ++i, rgb += 3 * step) {
            const uint8_t* entry = table_[row[i]];
            rgb[0] = entry[0], rgb[1] = entry[1], rgb[2] = entry[2];
        }
        for (size_t i = 0; alpha != nullptr && i < count; ++i) alpha[i * step] = table_[row[i]][3];
        return true;
    }
    for (size_t i = 0; i < count; ++i, rgb += 3 * step) {
        const unsigned index = depth_ == 8 ? row[i] : packed(row, i, depth_);
        if (index >= entries_) return false;
        const uint8_t* entry = table_[index];
        rgb[0] = entry[0], rgb[1] = entry[1], rgb[2] = entry[2];
        if (alpha != nullptr) alpha[i * step] = entry[3];
    }
    return true;
}

// RGB (type 2, tRNS comparing all three samples at the file's depth) and RGBA (type 6).
bool RowExpander::colour(const uint8_t* row, size_t count, uint8_t* rgb, uint8_t* alpha, size_t step) const {
    const bool with_alpha = colour_type_ == 6;
    const size_t sample = size_t(depth_ / 8), bytes = sample * (with_alpha ? 4 : 3);
    for (size_t i = 0; i < count; ++i, rgb += 3 * step) {
        const uint8_t* p = row + i * bytes;
        rgb[0] = p[0], rgb[1] = p[sample], rgb[2] = p[2 * sample];
        if (alpha == nullptr) continue;
        if (with_alpha) {
            alpha[i * step] = p[3 * sample];
        } else if (depth_ == 16) {
            alpha[i * step] = keyed_ && big16(p) == key_[0] && big16(p + 2) == key_[1] && big16(p + 4) == key_[2] ? 0
                                                                                                                  : 255;
        } else {
            alpha[i * step] = keyed_ && p[0] == key_[0] && p[1] == key_[1] && p[2] == key_[2] ? 0 : 255;
        }
    }
    return true;
}

}  // namespace vextaro::png
