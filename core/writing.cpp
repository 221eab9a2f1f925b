#include "core/writing.hpp"

#include <algorithm>

#include "binding/namespace.hpp"
#include "binding/stream.hpp"
#include "core/errors.hpp"
#include "core/hooks.hpp"
#include "core/lengths.hpp"

namespace vextaro {

std::optional<ByteBuffer> pinned_pixels(PyObject* pixels, std::optional<int64_t> expected) {
    if (!length_is(pixels, expected, message::kPixelLength)) return std::nullopt;
    Ref converted = PyByteArray_Check(pixels) ? Ref::borrow(pixels) : Ref::steal(PyByteArray_FromObject(pixels));
    auto bytes = converted ? ByteBuffer::readable(converted.get()) : std::nullopt;
    if (!bytes) return std::nullopt;
    // What the encoder reads is the byte length, which len() need not count, and
    // code run since the check (a __len__, a rebound name) may have resized it.
    if (!length_matches(static_cast<int64_t>(bytes->bytes().size()), expected, message::kPixelLength))
        return std::nullopt;
    return bytes;
}

bool check_dimensions_unsigned(int32_t width, int32_t height) {
    if (width >= 0 && height >= 0) return true;
    call_method(original(Hook::struct_), names.pack, "si", "<I", std::min(width, height));
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_OverflowError, "negative image dimensions");
    return false;
}

bool write_to(PyObject* file, PyObject* data) {
    const Py_ssize_t total = PyObject_Length(data);
    if (total < 0) return false;
    // A raw file may take part of the bytes; the rest goes again, as a buffered one would.
    Ref view;
    for (Py_ssize_t done = 0; done < total || total == 0;) {
        if (done > 0 && !view && !(view = Ref::steal(PyMemoryView_FromObject(data)))) return false;
        Ref rest = done > 0 ? Ref::steal(PySequence_GetSlice(view.get(), done, total)) : Ref::borrow(data);
        Ref count = rest ? Ref::steal(PyObject_CallMethodObjArgs(file, names.write, rest.get(), nullptr)) : Ref();
        if (!count) return false;
        const Py_ssize_t n = count.get() == Py_None ? 0 : PyLong_AsSsize_t(count.get());
        if (n == -1 && PyErr_Occurred()) return false;
        if (total == 0) break;
        if (n <= 0) {
            PyErr_SetString(PyExc_BlockingIOError, "write could not complete without blocking");
            return false;
        }
        done += n;
    }
    return true;
}

}  // namespace vextaro
