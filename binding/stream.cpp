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

}  // namespace vextaro
