// Saving images: SimpleImage.save and SimpleImage.saveBmp.
#pragma once

#include "core/layer.hpp"

#include "binding/function.hpp"

namespace vextaro {

extern const FunctionSpec kSaveSpec;
extern const FunctionSpec kSaveBmpSpec;

}  // namespace vextaro
