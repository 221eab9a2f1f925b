// Reading from and writing to the host's binary streams (files, in-memory
// streams, anything with read(n) and seek(position), or write(data)).
#pragma once

#include <Python.h>

#include <cstdint>

#include "binding/pyref.hpp"

namespace vextaro {

// stream.read(n) as bytes, or fewer bytes at the end of the data. Requests
// above a mebibyte are made in growing pieces: a file object allocates what is
// asked for before it reads, and a header's claim must not decide memory.
Ref read_bytes(PyObject* stream, uint64_t n);

// stream.close(), keeping an error already set unless closing fails too (then
// closing's error wins, as in a `finally`). False when closing failed.
bool close_stream(PyObject* stream);

// file.write(data), again with the rest while a raw file takes only part of it.
bool write_to(PyObject* file, PyObject* data);

}  // namespace vextaro
