#include <algorithm>

#include "png/deflate.hpp"

namespace vextaro::png {

std::unique_ptr<Deflater> level_deflater(int level) { return zlib_deflater(std::min(level, 9)); }

}  // namespace vextaro::png
