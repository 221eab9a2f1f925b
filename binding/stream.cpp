#include "binding/stream.hpp"

#include <algorithm>

#include "binding/namespace.hpp"

namespace vextaro {

namespace {

constexpr uint64_t kPiece = uint64_t{1} << 20;

Ref read_once(PyObject* stream, uint64_t n) {
    Ref count = Ref::steal(PyLong_FromUnsignedLongLong(n));
    if (!count) return count;
    Ref got = Ref::steal(PyObject_CallMethodObjArgs(stream, names.read, count.get(), nullptr));
    if (!got || PyBytes_CheckExact(got.get())) return got;
    if (!PyObject_CheckBuffer(got.get())) {
        PyErr_Format(PyExc_TypeError, "read() should return bytes, not '%.200s'", Py_TYPE(got.get())->tp_name);
        return {};
    }
    return Ref::steal(PyBytes_FromObject(got.get()));
}

}  // namespace

Ref read_bytes(PyObject* stream, uint64_t n) {
    if (n <= kPiece) return read_once(stream, n);
    Ref pieces = Ref::steal(PyList_New(0));
    if (!pieces) return pieces;
    uint64_t total = 0;
    while (total < n) {
        // Never ask for more than has arrived so far: memory stays within twice the data.
        const uint64_t ask = std::min(n - total, std::max(kPiece, total));
        Ref piece = read_once(stream, ask);
        if (!piece || PyList_Append(pieces.get(), piece.get()) < 0) return {};
        const auto got = static_cast<uint64_t>(PyBytes_GET_SIZE(piece.get()));
        total += got;
        if (got < ask) break;
    }
    if (PyList_GET_SIZE(pieces.get()) == 1) return Ref::borrow(PyList_GET_ITEM(pieces.get(), 0));
    Ref empty = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    return empty ? Ref::steal(PyObject_CallMethodObjArgs(empty.get(), names.join, pieces.get(), nullptr)) : Ref();
}

bool close_stream(PyObject* stream) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    Ref closed = Ref::steal(PyObject_CallMethodObjArgs(stream, names.close, nullptr));
    if (!closed) {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return false;
    }
    PyErr_Restore(type, value, traceback);
    return true;
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
