#include "binding/source.hpp"

#include <algorithm>

#include "binding/namespace.hpp"
#include "binding/stream.hpp"

namespace vextaro {

std::optional<Source> Source::from_memory(PyObject* data) {
    auto bytes = ByteBuffer::readable(data);
    if (!bytes) return std::nullopt;
    Source source(nullptr);
    source.memory_ = std::move(bytes);
    return source;
}

std::span<const uint8_t> Source::take(uint64_t n) {
    const uint64_t count = std::min(n, remaining());
    const auto view = memory_->bytes().subspan(position_, count);
    position_ += count;
    return view;
}

Ref Source::read(uint64_t n) {
    if (!memory_) return read_bytes(stream_, n);
    const auto view = take(n);
    return new_bytes(view.data(), view.size());
}

bool Source::seek(PyObject* position) {
    if (!memory_) {
        return static_cast<bool>(Ref::steal(PyObject_CallMethodObjArgs(stream_, names.seek, position, nullptr)));
    }
    // As an in-memory stream does: any position at or past the end reads nothing.
    const Py_ssize_t at = PyNumber_AsSsize_t(position, nullptr);
    if (at == -1 && PyErr_Occurred()) return false;
    if (at < 0) {
        PyErr_Format(PyExc_ValueError, "negative seek value %zd", at);
        return false;
    }
    position_ = std::min<uint64_t>(static_cast<uint64_t>(at), memory_->bytes().size());
    return true;
}

bool Source::seek(uint64_t position) {
    Ref where = Ref::steal(PyLong_FromUnsignedLongLong(position));
    return where && seek(where.get());
}

}  // namespace vextaro
