#include "png/crc.hpp"

#include <libdeflate.h>

namespace vextaro::png {

uint32_t chunk_crc(std::span<const uint8_t> type, std::span<const uint8_t> data) {
    return libdeflate_crc32(libdeflate_crc32(0, type.data(), type.size()), data.data(), data.size());
}

}  // namespace vextaro::png
