// Writing PNG files: _writePng, and _writePngWithChunks, which plans and frames
// an image's chunk sequence around its new image data.
#pragma once

#include "core/layer.hpp"

#include "binding/function.hpp"
#include "binding/pyref.hpp"

namespace vextaro {

// The writers' keyword-only compress_level: None for the default save, or a
// level of the module's own deflater, 0 (stored) to 12 (smallest).
inline constexpr Param kCompressLevelParam = {.name = "compress_level",
                                              .check = Check::IndexOrNone,
                                              .annotation = "Optional[SupportsIndex]",
                                              .low = 0,
                                              .high = 12};

extern const FunctionSpec kWritePngSpec;
extern const FunctionSpec kWritePngWithChunksSpec;

}  // namespace vextaro
