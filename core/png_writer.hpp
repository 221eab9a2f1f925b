// Writing PNG files: _writePng, _split_idat_payload, _writePngWithChunks.
#pragma once

#include "core/layer.hpp"

#include "binding/function.hpp"

namespace vextaro {

extern const FunctionSpec kWritePngSpec;
extern const FunctionSpec kSplitIdatPayloadSpec;
extern const FunctionSpec kWritePngWithChunksSpec;

}  // namespace vextaro
