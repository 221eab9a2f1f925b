// Borrowed byte buffers of host objects, released on every path.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "binding/pyref.hpp"

namespace vextaro {

// A bytearray of `size` bytes, not yet written.
Ref new_bytearray(uint64_t size);

// A bytes object of `size` bytes copied from `data`, or not yet written when
// `data` is null.
Ref new_bytes(const void* data, uint64_t size);

// Cuts a bytes object made by new_bytes, not yet seen by any other code, to its
// first `size` bytes; empty, the object released, when that fails.
Ref shrunk_bytes(Ref bytes, uint64_t size);

class ByteBuffer {
public:
    // Any object that exports a contiguous buffer, read only.
    static std::optional<ByteBuffer> readable(PyObject* o);
    // A one-dimensional writable buffer of unsigned bytes, as a bytearray is.
    static std::optional<ByteBuffer> writable_bytes(PyObject* o);

    ByteBuffer(ByteBuffer&& other) noexcept;
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ByteBuffer& operator=(ByteBuffer&& other) noexcept;
    ~ByteBuffer();

    // Takes the same kind of view of the same object again. PyPy lets a
    // bytearray be resized, its memory moving, while it is exported, so a view
    // read after code of the caller's has run is taken again first.
    bool retake();

    std::span<const uint8_t> bytes() const {
        return {static_cast<const uint8_t*>(view_.buf), static_cast<size_t>(view_.len)};
    }

private:
    ByteBuffer() = default;
    static std::optional<ByteBuffer> take(PyObject* o, bool writable);
    Py_buffer view_{};
    bool held_ = false;
    Ref source_;
    bool writable_ = false;
};

}  // namespace vextaro
