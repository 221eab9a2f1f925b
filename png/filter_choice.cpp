#include "png/filter_choice.hpp"

#include <cstdlib>
#include <utility>

#include "png/paeth.hpp"
#include "png/planes.hpp"

namespace vextaro::png {

namespace {

// A filtered byte's weight: its absolute value as a signed byte.
unsigned weight(int v) {
    const auto b = static_cast<uint8_t>(v);
    return b < 128 ? b : 256u - b;
}

}  // namespace

uint8_t least_cost_filter(const uint8_t* row, const uint8_t* above, size_t n, int bpp) {
    uint64_t cost[5] = {};
    const auto step = static_cast<size_t>(bpp);
    for (size_t i = 0; i < n; ++i) {
        const int x = row[i], a = i >= step ? row[i - step] : 0, b = above != nullptr ? above[i] : 0,
                  c = above != nullptr && i >= step ? above[i - step] : 0;
        cost[0] += weight(x);
        cost[1] += weight(x - a);
        cost[2] += weight(x - b);
        cost[3] += weight(x - ((a + b) >> 1));
        cost[4] += weight(x - paeth_predictor(a, b, c));
    }
    uint8_t best = 0;
    for (uint8_t t = 1; t < 5; ++t)
        if (cost[t] < cost[best]) best = t;
    return best;
}

FilterChooser::~FilterChooser() { std::free(rows_); }

bool FilterChooser::start(size_t width, bool alpha) {
    const size_t bpp = alpha ? 4 : 3;
    if (width > SIZE_MAX / 2 / bpp) return false;
    std::free(std::exchange(rows_, nullptr));
    width_ = width, stride_ = width * bpp, alpha_ = alpha, first_ = true, odd_ = false;
    // One byte more than nothing, so that an empty row still has an address.
    rows_ = static_cast<uint8_t*>(std::malloc(2 * stride_ + 1));
    return rows_ != nullptr;
}

uint8_t FilterChooser::next(const uint8_t* rgb, const uint8_t* alpha) {
    // The two rows take turns: this one is the next one's row above.
    uint8_t* row = rows_ + (odd_ ? stride_ : 0);
    const uint8_t* above = first_ ? nullptr : rows_ + (odd_ ? 0 : stride_);
    join_pixels(rgb, alpha_ ? alpha : nullptr, width_, alpha_ ? 4 : 3, row);
    first_ = false, odd_ = !odd_;
    return least_cost_filter(row, above, stride_, alpha_ ? 4 : 3);
}

bool choose_filters(const uint8_t* rgb, const uint8_t* alpha, size_t width, size_t height, uint8_t* filters) {
    FilterChooser chooser;
    if (!chooser.start(width, alpha != nullptr)) return false;
    for (size_t y = 0; y < height; ++y)
        filters[y] = chooser.next(rgb + y * width * 3, alpha != nullptr ? alpha + y * width : nullptr);
    return true;
}

}  // namespace vextaro::png
