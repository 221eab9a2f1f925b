// _split_idat_payload: new image data cut along a source's IDAT sizes.
#pragma once

#include "core/layer.hpp"

#include "binding/function.hpp"

namespace vextaro {

extern const FunctionSpec kSplitIdatPayloadSpec;

}  // namespace vextaro
