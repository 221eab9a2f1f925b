// PyPy reaches C through a compatibility layer that costs hundreds of
// nanoseconds per crossing, more than a pixel access itself. There, getPixel and
// putPixel are host functions that serve plain cases from the image's buffer
// in Python, falling back to the module's own function objects for everything
// else (errors included), so behaviour stays the same.
#pragma once

#include "core/layer.hpp"

#include <Python.h>

#include "binding/function.hpp"
#include "binding/pyref.hpp"

namespace vextaro {

// The class member for getPixel or putPixel on PyPy: a host function around `impl`.
Ref pypy_pixel_method(const FunctionSpec& spec, PyObject* impl, PyObject* module_name);

// Must run after `img`'s width, height or pixel buffer was replaced (after, so
// that no other thread can store the old ones in between): drops what the pixel
// methods keep of them. False with an exception set on failure.
#if defined(PYPY_VERSION)
bool forget_pixel_view(PyObject* img);
#else
inline bool forget_pixel_view(PyObject*) { return true; }
#endif

}  // namespace vextaro
