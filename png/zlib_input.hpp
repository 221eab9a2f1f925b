// Feeding zlib from a span: its stream counts input in a 32-bit field.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>

namespace vextaro::png {

// Hands zlib the next slice of the `left` bytes at `next` once it has used up the last.
inline void feed_next_slice(z_stream& z, const uint8_t*& next, size_t& left) {
    if (z.avail_in != 0 || left == 0) return;
    const size_t slice = left < (size_t{1} << 30) ? left : (size_t{1} << 30);
    z.next_in = const_cast<Bytef*>(next);
    z.avail_in = static_cast<uInt>(slice);
    next += slice;
    left -= slice;
}

}  // namespace vextaro::png
