// Pixel access and copying of a SimpleImage.
#pragma once

#include "binding/function.hpp"

namespace vextaro {

extern const FunctionSpec kGetPixelSpec;
extern const FunctionSpec kPutPixelSpec;
extern const FunctionSpec kCopySpec;

}  // namespace vextaro
