// Byte buffers for the kernel tests: random contents, guard bytes, and rows
// in which every (left, up, upper-left) neighbour triple occurs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace vextaro::testing {

using Bytes = std::vector<uint8_t>;
constexpr uint8_t kGuard = 0xA5;

inline Bytes random_bytes(size_t n, std::mt19937& rng) {
    std::uniform_int_distribution<int> byte(0, 255);
    Bytes out(n);
    for (auto& b : out) b = static_cast<uint8_t>(byte(rng));
    return out;
}

// A raw row and the row above it, in pairs of pixels: each odd pixel has the
// even raw pixel before it (a0 + k in channel k) on its left, j >> 8 above and
// j & 255 above-left, for every j below 65536, so every triple occurs.
struct NeighbourRows {
    Bytes up, raw;
};

inline NeighbourRows neighbour_rows(int bpp, int a0) {
    const size_t pairs = 256 * 256;
    NeighbourRows rows{Bytes(2 * pairs * bpp), Bytes(2 * pairs * bpp)};
    for (size_t j = 0; j < pairs; ++j)
        for (int k = 0; k < bpp; ++k) {
            const size_t even = 2 * j * bpp + k, odd = even + bpp;
            rows.up[even] = static_cast<uint8_t>(j);
            rows.up[odd] = static_cast<uint8_t>(j >> 8);
            rows.raw[even] = static_cast<uint8_t>(a0 + k);
            rows.raw[odd] = static_cast<uint8_t>(j * 7 + k);
        }
    return rows;
}

}  // namespace vextaro::testing
