// PyPy reaches C through a compatibility layer that costs hundreds of
// nanoseconds per crossing, more than a pixel access itself, and copies every
// bytes object it hands to C. There, getPixel, putPixel and open are host
// functions: the pixel methods serve plain cases from the image's buffer in
// Python, and open hands bytes over as a memoryview. They fall back to the
// module's own function objects for everything else (errors included), so
// behaviour stays the same.
#pragma once

#include "core/layer.hpp"

#include <Python.h>

#include "binding/function.hpp"
#include "binding/pyref.hpp"

namespace vextaro {

#if defined(PYPY_VERSION)
// The function the class stores for `spec`: a host function around `impl`
// where one is written for it, else `impl`.
Ref pypy_method(const FunctionSpec& spec, PyObject* impl, PyObject* module_name);
#endif

// Must run before `img`'s width, height or pixel buffer is replaced, with no
// code run between it and the replacement: drops what the pixel methods keep
// of them. It runs no code of the caller's, so the replacement cannot be
// interrupted with the old view kept. False with an exception set on failure,
// the field then to be left as it is.
#if defined(PYPY_VERSION)
bool forget_pixel_view(PyObject* img);
#else
inline bool forget_pixel_view(PyObject*) { return true; }
#endif

}  // namespace vextaro
