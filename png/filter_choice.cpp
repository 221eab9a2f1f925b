#include "png/filter_choice.hpp"

#include <algorithm>
#include <cstdlib>
#include <span>
#include <utility>

#include "png/filter.hpp"
#include "png/planes.hpp"

namespace vextaro::png {

namespace {

// The sum of the bytes' weights, each its absolute value as a signed byte. Whole
// blocks go into 16-bit sums (at most 128 per byte), which the compiler vectorises.
uint64_t weight(const uint8_t* bytes, size_t n) {
    uint64_t total = 0;
    for (size_t at = 0; at < n;) {
        const size_t end = std::min(n, at + 256);
        uint16_t block = 0;
        for (; at < end; ++at) {
            const uint8_t v = bytes[at];
            block = static_cast<uint16_t>(block + std::min<uint8_t>(v, static_cast<uint8_t>(-v)));
        }
        total += block;
    }
    return total;
}

}  // namespace

uint8_t least_cost_filter(const uint8_t* row, const uint8_t* above, size_t n, int bpp, uint8_t* scratch) {
    // Each type filtered by the writer's own kernels, then weighed.
    const std::span<const uint8_t> raw(row, n), previous(above, above != nullptr ? n : 0);
    uint64_t best_cost = weight(row, n);
    uint8_t best = 0;
    for (uint8_t t = 1; t < kFilterTypes; ++t) {
        filter_row(t, raw, previous, scratch, bpp);
        const uint64_t cost = weight(scratch, n);
        if (cost < best_cost) best = t, best_cost = cost;
    }
    return best;
}

FilterChooser::~FilterChooser() { std::free(rows_); }

bool FilterChooser::start(size_t width, bool alpha) {
    const size_t bpp = alpha ? 4 : 3;
    if (width > SIZE_MAX / 3 / bpp) return false;
    std::free(std::exchange(rows_, nullptr));
    width_ = width, stride_ = width * bpp, alpha_ = alpha, first_ = true, odd_ = false;
    // Two rows and the filtered bytes of a third; one byte more than nothing, so
    // that an empty row still has an address.
    rows_ = static_cast<uint8_t*>(std::malloc(3 * stride_ + 1));
    return rows_ != nullptr;
}

uint8_t FilterChooser::next(const uint8_t* rgb, const uint8_t* alpha) {
    // The two rows take turns: this one is the next one's row above.
    uint8_t* row = rows_ + (odd_ ? stride_ : 0);
    const uint8_t* above = first_ ? nullptr : rows_ + (odd_ ? 0 : stride_);
    join_pixels(rgb, alpha_ ? alpha : nullptr, width_, alpha_ ? 4 : 3, row);
    first_ = false, odd_ = !odd_;
    return least_cost_filter(row, above, stride_, alpha_ ? 4 : 3, rows_ + 2 * stride_);
}

bool choose_filters(const uint8_t* rgb, const uint8_t* alpha, size_t width, size_t height, uint8_t* filters) {
    FilterChooser chooser;
    if (!chooser.start(width, alpha != nullptr)) return false;
    for (size_t y = 0; y < height; ++y)
        filters[y] = chooser.next(rgb + y * width * 3, alpha != nullptr ? alpha + y * width : nullptr);
    return true;
}

}  // namespace vextaro::png
