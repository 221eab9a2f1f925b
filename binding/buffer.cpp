#include "binding/buffer.hpp"

#include <cstring>
#include <utility>

namespace vextaro {

Ref new_bytearray(uint64_t size) {
    if (size > static_cast<uint64_t>(PY_SSIZE_T_MAX)) return Ref::steal(PyErr_NoMemory());
    Ref array = Ref::steal(PyByteArray_FromStringAndSize(nullptr, 0));
    if (array && PyByteArray_Resize(array.get(), static_cast<Py_ssize_t>(size)) < 0) return {};
    return array;
}

std::optional<ByteBuffer> ByteBuffer::readable(PyObject* o) {
    ByteBuffer b;
    if (PyObject_GetBuffer(o, &b.view_, PyBUF_SIMPLE) < 0) return std::nullopt;
    b.held_ = true;
    return b;
}

std::optional<ByteBuffer> ByteBuffer::writable_bytes(PyObject* o) {
    ByteBuffer b;
    if (PyObject_GetBuffer(o, &b.view_, PyBUF_WRITABLE | PyBUF_FORMAT | PyBUF_ND) < 0) return std::nullopt;
    b.held_ = true;
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

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept : view_(other.view_), held_(std::exchange(other.held_, false)) {}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
    if (this != &other) {
        if (held_) PyBuffer_Release(&view_);
        view_ = other.view_;
        held_ = std::exchange(other.held_, false);
    }
    return *this;
}

ByteBuffer::~ByteBuffer() {
    if (held_) PyBuffer_Release(&view_);
}

}  // namespace vextaro
