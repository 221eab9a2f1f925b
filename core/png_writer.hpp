// Writing PNG files: _writePng, and _writePngWithChunks, which plans and frames
// an image's chunk sequence around its new image data.
#pragma once

#include "core/layer.hpp"

#include "binding/function.hpp"

namespace vextaro {

extern const FunctionSpec kWritePngSpec;
extern const FunctionSpec kWritePngWithChunksSpec;

}  // namespace vextaro
