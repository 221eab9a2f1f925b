// SSE2 Paeth filtering for the encoder. Unlike reconstruction, every filtered
// byte depends on raw bytes only, so sixteen are done at once. The compiler
// does not vectorise the scalar loop: without SSE4.1's blend, its cost model
// finds the selects too dear.
#pragma once

#include <cstddef>
#include <cstdint>

#include "simd/level.hpp"

namespace vextaro::png::sse2 {

// Bytes bpp..n-1 of the Paeth-filtered row; `raw` and `up` hold n bytes.
// Returns how many of them it did, from bpp on: the caller finishes the rest.
size_t paeth_filter(const uint8_t* raw, const uint8_t* up, uint8_t* out, size_t n, int bpp);

}  // namespace vextaro::png::sse2
