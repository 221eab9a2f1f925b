// The PNG decoder: a stream in, the DecodedImage 8-tuple out.
#pragma once

#include "core/layer.hpp"

#include <Python.h>

#include "binding/pyref.hpp"
#include "binding/source.hpp"

namespace vextaro {

Ref load_png(Source& source);

}  // namespace vextaro
