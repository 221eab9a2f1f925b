// Opening images: SimpleImage.open and SimpleImage._streamToImage.
#pragma once

#include "core/layer.hpp"

#include "binding/function.hpp"

namespace vextaro {

extern const FunctionSpec kStreamToImageSpec;
extern const FunctionSpec kOpenSpec;

}  // namespace vextaro
