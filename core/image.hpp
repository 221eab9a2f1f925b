// The SimpleImage record: its layout, its type and its constructor.
#pragma once

#include "core/layer.hpp"

#include <Python.h>

#include <cstdint>

#include "binding/function.hpp"

namespace vextaro {

// The fields in the constructor's order, under the names Python sees.
struct ImageObject {
    PyObject_HEAD
    int32_t width;
    int32_t height;
    PyObject* pixels;  // bytearray or None, never anything else
    PyObject* alpha;
    PyObject* png_chunks;
    PyObject* bmp_header;
    PyObject* png_filters;
#if defined(PYPY_VERSION)
    PyObject* view_key;  // id(self) while PyPy's pixel methods keep a view of it
#endif
};

extern PyTypeObject ImageType;

// A field as Python sees it: None where it was never set. PyPy lets
// object.__new__ make an instance without running the constructor, so every
// field may still be NULL.
inline PyObject* none_if_unset(PyObject* field) { return field != nullptr ? field : Py_None; }

// Readies the type with `methods` as the start of its dict.
bool ready_image_type(PyObject* methods);

// The constructor's arguments after integer conversion, as borrowed references,
// in its order, which ImageObject and Decoded keep too.
struct ImageParts {
    int32_t width;
    int32_t height;
    PyObject* pixels;
    PyObject* alpha;
    PyObject* png_chunks;
    PyObject* bmp_header;
    PyObject* png_filters;
};

// Runs the constructor's checks and conversions and builds an instance of `type`.
// `fresh` says the buffers and containers were just made by the caller and are
// seen by nobody else: those already of their stored type are kept, not copied.
PyObject* build_image(PyTypeObject* type, const ImageParts& parts, bool fresh);

extern const FunctionSpec kCopySpec;
extern const FunctionSpec kReduceSpec;
extern const FunctionSpec kSetStateSpec;

}  // namespace vextaro
