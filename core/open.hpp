// Opening images: SimpleImage.open and SimpleImage._streamToImage.
#pragma once

#include "binding/function.hpp"

namespace vextaro {

extern const FunctionSpec kStreamToImageSpec;
extern const FunctionSpec kOpenSpec;

}  // namespace vextaro
