// PyPy reaches C through a compatibility layer in which every tuple passed in or
// out is rebuilt on the other side, which costs microseconds per pixel call.
// There, getPixel and putPixel are host functions that unpack plain cases
// themselves and hand C only ints, falling back to the module's own function
// objects for everything else (errors included), so behaviour stays the same.
#pragma once

#include "core/layer.hpp"

#include <Python.h>

#include "binding/function.hpp"
#include "binding/pyref.hpp"

namespace vextaro {

// The class member for getPixel or putPixel on PyPy: a host function around `impl`.
Ref pypy_pixel_method(const FunctionSpec& spec, PyObject* impl, PyObject* module_name);

}  // namespace vextaro
