// PNG's filter predictions straight from their definitions, byte by byte, so
// that the kernel tests share no shortcut with the kernels they check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "tests/cpp/test_bytes.hpp"

namespace vextaro::testing {

// Prediction of byte i of a row; `row` only needs to be final before index i.
inline int predict(int filter, const Bytes& row, const Bytes& up, size_t i, size_t bpp) {
    const int a = i >= bpp ? row[i - bpp] : 0;
    const int b = up[i];
    const int c = i >= bpp ? up[i - bpp] : 0;
    switch (filter) {
        case 1: return a;
        case 2: return b;
        case 3: return (a + b) / 2;
        case 4: {
            const int p = a + b - c;
            const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
            return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
        }
        default: return 0;
    }
}

inline Bytes reference_filter(int filter, const Bytes& raw, const Bytes& up, size_t bpp) {
    Bytes out(raw.size());
    for (size_t i = 0; i < raw.size(); ++i) out[i] = static_cast<uint8_t>(raw[i] - predict(filter, raw, up, i, bpp));
    return out;
}

}  // namespace vextaro::testing
