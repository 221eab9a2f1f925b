#include "png/crc.hpp"

#include "png/inflater.hpp"

namespace vextaro::png {

uint32_t chunk_crc(std::span<const uint8_t> type, std::span<const uint8_t> data) {
    const uint32_t crc = crc32_of(0, type);
    // Either library takes a null buffer, as empty data may have, for a request
    // of its initial value.
    return data.empty() ? crc : crc32_of(crc, data);
}

}  // namespace vextaro::png
