#include "core/writing.hpp"

#include "binding/namespace.hpp"
#include "binding/stream.hpp"

namespace vextaro {

namespace {

PyObject* pixel_length_error() {
    PyErr_SetString(PyExc_ValueError, "Pixel data length does not match image dimensions");
    return nullptr;
}

}  // namespace

Ref pixel_bytearray(PyObject* pixels, std::optional<int64_t> expected) {
    const Py_ssize_t given = PyObject_Length(pixels);
    if (given < 0) return {};
    if (!expected || given != *expected) return Ref::steal(pixel_length_error());
    Ref converted = PyByteArray_Check(pixels) ? Ref::borrow(pixels) : Ref::steal(PyByteArray_FromObject(pixels));
    // What the encoder reads is the byte length, which len() need not count.
    if (converted && PyByteArray_GET_SIZE(converted.get()) != *expected) return Ref::steal(pixel_length_error());
    return converted;
}

bool write_file(PyObject* path, const std::function<bool(PyObject*)>& write) {
    Ref file = Ref::steal(PyObject_CallFunction(originals.open, "Os", path, "wb"));
    if (!file) return false;
    const bool written = write(file.get());
    return close_stream(file.get()) && written;
}

bool write_to(PyObject* file, PyObject* data) {
    return static_cast<bool>(Ref::steal(PyObject_CallMethodObjArgs(file, names.write, data, nullptr)));
}

}  // namespace vextaro
