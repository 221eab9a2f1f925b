#include <algorithm>

#include "png/deflate.hpp"

namespace vextaro::png {

std::optional<Deflated> deflate_at_level(std::span<const uint8_t> data, int level) {
    return deflate_zlib(data, std::min(level, 9));
}

}  // namespace vextaro::png
