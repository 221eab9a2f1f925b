#include "png/crc.hpp"

#include "png/inflater.hpp"

namespace vextaro::png {

uint32_t chunk_crc(std::span<const uint8_t> type, std::span<const uint8_t> data) {
    return crc32_of(crc32_of(0, type), data);
}

}  // namespace vextaro::png
