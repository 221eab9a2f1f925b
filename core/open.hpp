// Opening images: SimpleImage.open and SimpleImage._streamToImage.
#pragma once

#include "core/layer.hpp"

#include "binding/function.hpp"

namespace vextaro {

extern const FunctionSpec kStreamToImageSpec;
extern const FunctionSpec kOpenSpec;
#if defined(PYPY_VERSION)
// open for a bytes object seen through a memoryview, which PyPy's open calls.
extern const FunctionSpec kOpenViewSpec;
#endif

}  // namespace vextaro
