// Pixel access and copying of a SimpleImage.
#pragma once

#include "core/layer.hpp"

#include <cstdint>

#include "binding/function.hpp"
#include "core/image.hpp"

namespace vextaro {

// Pixel access with plain int coordinates and an 0xRRGGBB value, for hosts on
// which handing tuples to C costs more than the access itself. Each answers -1
// (or false) where only the methods' general path can decide.
long packed_pixel(const ImageObject* img, int64_t x, int64_t y);
bool put_packed_pixel(ImageObject* img, int64_t x, int64_t y, uint32_t rgb);

extern const FunctionSpec kGetPixelSpec;
extern const FunctionSpec kPutPixelSpec;
extern const FunctionSpec kCopySpec;

}  // namespace vextaro
