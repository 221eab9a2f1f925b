#include <algorithm>

#include "png/deflate.hpp"

namespace vextaro::png {

Owned<Deflater> level_deflater(int level) { return zlib_deflater(std::min(level, 9)); }

}  // namespace vextaro::png
