// The two loops that dominate opening a PNG, done by libdeflate where the build
// has it (png/inflater_libdeflate.cpp) and by zlib otherwise (png/inflater_zlib.cpp):
// the results are the same, only the speed differs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vextaro::png {

struct Inflated {
    enum class Status {
        Done,         // the stream is valid and ends within `out`, after `produced` bytes
        NotHere,      // invalid, or longer than `out`
        OutOfMemory,  // the inflater's state could not be allocated
    };
    Status status;
    size_t produced = 0;
};

// Inflates the zlib stream `in` into `out`.
Inflated inflate_within(std::span<const uint8_t> in, std::span<uint8_t> out);

// `crc` continued over `data`.
uint32_t crc32_of(uint32_t crc, std::span<const uint8_t> data);

}  // namespace vextaro::png
