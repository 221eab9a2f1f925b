#include "png/unfilter_any.hpp"

#include "png/paeth.hpp"
#include "png/unfilter.hpp"

namespace vextaro::png {

namespace {

// Above the top row every byte counts as zero: `above` is then null.
template <int Bpp>
void reconstruct(uint8_t filter, uint8_t* p, const uint8_t* above, size_t n) {
    auto b = [&](size_t i) -> int { return above != nullptr ? above[i] : 0; };
    switch (filter) {
        case 1:
            for (size_t i = Bpp; i < n; ++i) p[i] = static_cast<uint8_t>(p[i] + p[i - Bpp]);
            return;
        case 2:
            for (size_t i = 0; above != nullptr && i < n; ++i) p[i] = static_cast<uint8_t>(p[i] + above[i]);
            return;
        case 3:
            for (size_t i = 0; i < n; ++i)
                p[i] = static_cast<uint8_t>(p[i] + (((i >= Bpp ? p[i - Bpp] : 0) + b(i)) >> 1));
            return;
        case 4:
            for (size_t i = 0; i < n; ++i) {
                const int a = i >= Bpp ? p[i - Bpp] : 0, c = i >= Bpp ? b(i - Bpp) : 0;
                p[i] = static_cast<uint8_t>(p[i] + paeth_predictor(a, b(i), c));
            }
            return;
        default: return;
    }
}

}  // namespace

void unfilter_any(uint8_t filter, std::span<uint8_t> row, std::span<const uint8_t> previous, int bpp) {
    if (bpp == 3 || bpp == 4) return unfilter_row(filter, row, previous, bpp);
    const uint8_t* above = previous.empty() ? nullptr : previous.data();
    switch (bpp) {
        case 1: return reconstruct<1>(filter, row.data(), above, row.size());
        case 2: return reconstruct<2>(filter, row.data(), above, row.size());
        case 6: return reconstruct<6>(filter, row.data(), above, row.size());
        default: return reconstruct<8>(filter, row.data(), above, row.size());
    }
}

}  // namespace vextaro::png
