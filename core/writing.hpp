// What the writers share: the pixel buffer as they read it, and the output file.
#pragma once

#include <Python.h>

#include <cstdint>
#include <functional>
#include <optional>

#include "binding/pyref.hpp"

namespace vextaro {

// `pixels` as a bytearray of exactly `expected` bytes (a bytearray is used as
// it is, anything else copied into one); ValueError about the pixel data otherwise.
Ref pixel_bytearray(PyObject* pixels, std::optional<int64_t> expected);

// Opens `path` with the host's built-in open in mode "wb", lets `write` fill
// the file, and closes it on every path.
bool write_file(PyObject* path, const std::function<bool(PyObject*)>& write);

// file.write(data)
bool write_to(PyObject* file, PyObject* data);

}  // namespace vextaro
