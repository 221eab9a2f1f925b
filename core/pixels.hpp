// Pixel access of a SimpleImage.
#pragma once

#include "core/layer.hpp"

#include "binding/function.hpp"
#include "core/image.hpp"

namespace vextaro {

extern const FunctionSpec kGetPixelSpec;
extern const FunctionSpec kPutPixelSpec;

}  // namespace vextaro
