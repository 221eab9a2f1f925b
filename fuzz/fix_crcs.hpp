// The PNG targets' mutators: a mutated file with every complete chunk's CRC made
// right again, so that a mutation is not stopped by the first check.
#pragma once

#include <cstddef>
#include <cstdint>

#include "png/crc.hpp"
#include "png/frame.hpp"

namespace vextaro::png {

// Rewrites the CRC of every complete chunk of a file (signature included).
inline void fix_crcs(uint8_t* data, size_t size) {
    for (size_t at = sizeof kSignature; at + kFrameBytes <= size;) {
        const uint32_t length = big_endian32(data + at);
        if (length > size - at - kFrameBytes) return;
        put_big_endian32(data + at + 8 + length, chunk_crc({data + at + 4, 4}, {data + at + 8, length}));
        at += kFrameBytes + size_t{length};
    }
}

}  // namespace vextaro::png
