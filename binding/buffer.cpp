#include "binding/buffer.hpp"

#include <cstring>
#include <utility>

#include "binding/compat.hpp"

namespace vextaro {

namespace {

// PyPy's compatibility layer reports a failed allocation of its own as a
// SystemError (its stack running out too): both are raised as MemoryError.
Ref allocated(PyObject* made) {
#if defined(PYPY_VERSION)
    if (made == nullptr && PyErr_ExceptionMatches(PyExc_SystemError)) {
        PyErr_Clear();
        PyErr_NoMemory();
    }
#endif
    return Ref::steal(made);
}

}  // namespace

Ref new_bytearray(uint64_t size) {
    if (size > static_cast<uint64_t>(PY_SSIZE_T_MAX)) return Ref::steal(PyErr_NoMemory());
    return allocated(compat::sized_bytearray(static_cast<Py_ssize_t>(size)));
}

Ref new_bytes(const void* data, uint64_t size) {
    if (size > static_cast<uint64_t>(PY_SSIZE_T_MAX)) return Ref::steal(PyErr_NoMemory());
    return allocated(PyBytes_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(size)));
}

Ref shrunk_bytes(Ref bytes, uint64_t size) {
    PyObject* object = bytes.release();
    if (_PyBytes_Resize(&object, static_cast<Py_ssize_t>(size)) < 0) return {};
    return Ref::steal(object);
}

std::optional<ByteBuffer> ByteBuffer::readable(PyObject* o) { return take(o, false); }

std::optional<ByteBuffer> ByteBuffer::writable_bytes(PyObject* o) { return take(o, true); }

bool ByteBuffer::retake() {
    auto again = take(source_.get(), writable_);
    if (!again) return false;
    *this = std::move(*again);
    return true;
}

std::optional<ByteBuffer> ByteBuffer::take(PyObject* o, bool writable) {
    ByteBuffer b;
    b.source_ = Ref::borrow(o);
    b.writable_ = writable;
    if (PyObject_GetBuffer(o, &b.view_, writable ? PyBUF_WRITABLE | PyBUF_FORMAT | PyBUF_ND : PyBUF_SIMPLE) < 0)
        return std::nullopt;
    b.held_ = true;
    if (!writable) return b;
    const char* format = b.view_.format != nullptr ? b.view_.format : "B";
    if (b.view_.ndim != 1) {
        PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected 1, got %d)", b.view_.ndim);
        return std::nullopt;
    }
    if (b.view_.itemsize != 1 || (std::strcmp(format, "B") != 0 && std::strcmp(format, "=B") != 0 &&
                                  std::strcmp(format, "<B") != 0 && std::strcmp(format, ">B") != 0)) {
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected 'unsigned char' but got '%s'", format);
        return std::nullopt;
    }
    return b;
}

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept
    : view_(other.view_),
      held_(std::exchange(other.held_, false)),
      source_(std::move(other.source_)),
      writable_(other.writable_) {}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
    if (this != &other) {
        if (held_ && !interpreter_exiting()) PyBuffer_Release(&view_);
        view_ = other.view_;
        held_ = std::exchange(other.held_, false);
        source_ = std::move(other.source_);
        writable_ = other.writable_;
    }
    return *this;
}

ByteBuffer::~ByteBuffer() {
    if (held_ && !interpreter_exiting()) PyBuffer_Release(&view_);
}

}  // namespace vextaro
