// Borrowed byte buffers of host objects, released on every path.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace vextaro {

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

    std::span<const uint8_t> bytes() const {
        return {static_cast<const uint8_t*>(view_.buf), static_cast<size_t>(view_.len)};
    }

private:
    ByteBuffer() = default;
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace vextaro
