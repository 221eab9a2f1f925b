// Where a decoder reads from: a host stream, through its read() and seek(), or
// the bytes of a file that open() was given, when no stream would be observable.
// Reading from memory makes no stream and no copies of the image data.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>

#include "binding/buffer.hpp"
#include "binding/pyref.hpp"

namespace vextaro {

class Source {
public:
    static Source from_stream(PyObject* stream) { return Source(stream); }
    // The bytes of `data` (bytes, or on PyPy a memoryview over them), exported for as
    // long as the source lives.
    static std::optional<Source> from_memory(PyObject* data);

    // The stream, for operations that hand it on; nullptr for memory sources.
    PyObject* stream() const { return stream_; }

    // read(n): at most n bytes, fewer at the end of the data.
    Ref read(uint64_t n);
    // The same, as a view into memory; only for memory sources.
    std::span<const uint8_t> take(uint64_t n);
    // Bytes that a memory source still holds.
    uint64_t remaining() const { return memory_->bytes().size() - position_; }
    bool in_memory() const { return memory_.has_value(); }

    // seek(position), position being a host int.
    bool seek(PyObject* position);
    bool seek(uint64_t position);

private:
    explicit Source(PyObject* stream) : stream_(stream) {}
    PyObject* stream_ = nullptr;
    std::optional<ByteBuffer> memory_;
    uint64_t position_ = 0;
};

}  // namespace vextaro
