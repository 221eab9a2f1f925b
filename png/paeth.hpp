// The Paeth predictor of PNG filter type 4, shared by decoding and encoding.
#pragma once

#include <cstdint>
#include <cstdlib>

namespace vextaro::png {

// a = left, b = up, c = upper-left, on plain integers. Ties go to a, then b.
constexpr int paeth_predictor(int a, int b, int c) {
    const int p = a + b - c;
    const int pa = p > a ? p - a : a - p;
    const int pb = p > b ? p - b : b - p;
    const int pc = p > c ? p - c : c - p;
    if (pa <= pb && pa <= pc) return a;
    return pb <= pc ? b : c;
}

}  // namespace vextaro::png
