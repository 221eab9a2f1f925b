// The two loops that dominate opening a PNG, done by libdeflate where the build
// has it (png/inflater_libdeflate.cpp) and by zlib otherwise (png/inflater_zlib.cpp):
// the results are the same, only the speed differs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace vextaro::png {

// Inflates the zlib stream `in` into `out`: how many bytes it produced, if the
// stream is valid and ends within `out`; nothing otherwise.
std::optional<size_t> inflate_within(std::span<const uint8_t> in, std::span<uint8_t> out);

// `crc` continued over `data`.
uint32_t crc32_of(uint32_t crc, std::span<const uint8_t> data);

}  // namespace vextaro::png
