// Writing BMP files: _writeBmp.
#pragma once

#include "core/layer.hpp"

#include "binding/function.hpp"

namespace vextaro {

extern const FunctionSpec kWriteBmpSpec;

}  // namespace vextaro
