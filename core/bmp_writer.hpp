// Writing BMP files: _writeBmp.
#pragma once

#include "binding/function.hpp"

namespace vextaro {

extern const FunctionSpec kWriteBmpSpec;

}  // namespace vextaro
