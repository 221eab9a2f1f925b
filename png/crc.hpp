// CRC-32 of a PNG chunk: over the type bytes, continued over the data.
#pragma once

#include <cstdint>
#include <span>

namespace vextaro::png {

uint32_t chunk_crc(std::span<const uint8_t> type, std::span<const uint8_t> data);

}  // namespace vextaro::png
