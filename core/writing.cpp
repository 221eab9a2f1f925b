#include "core/writing.hpp"

#include <algorithm>

#include "binding/namespace.hpp"
#include "binding/stream.hpp"
#include "core/errors.hpp"

namespace vextaro {

std::optional<ByteBuffer> pinned_pixels(PyObject* pixels, std::optional<int64_t> expected) {
    const Py_ssize_t given = PyObject_Length(pixels);
    if (given < 0) return std::nullopt;
    if (!expected || given != *expected) {
        raise(PyExc_ValueError, message::kPixelLength);
        return std::nullopt;
    }
    Ref converted = PyByteArray_Check(pixels) ? Ref::borrow(pixels) : Ref::steal(PyByteArray_FromObject(pixels));
    auto bytes = converted ? ByteBuffer::readable(converted.get()) : std::nullopt;
    if (!bytes) return std::nullopt;
    // What the encoder reads is the byte length, which len() need not count, and
    // code run since the check (a __len__, a rebound name) may have resized it.
    if (static_cast<int64_t>(bytes->bytes().size()) != *expected) {
        raise(PyExc_ValueError, message::kPixelLength);
        return std::nullopt;
    }
    return bytes;
}

bool dimensions_packed(int32_t width, int32_t height) {
    if (width >= 0 && height >= 0) return true;
    call_method(originals.struct_, names.pack, "si", "<I", std::min(width, height));
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_OverflowError, "negative image dimensions");
    return false;
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
