// Encoding an image as PNG data: the IHDR for its size and kind, and its
// scanlines filtered and compressed, all before any file is opened.
#pragma once

#include "core/layer.hpp"

#include <Python.h>

#include <cstdint>
#include <optional>

#include "binding/pyref.hpp"

namespace vextaro {

struct Encoded {
    Ref ihdr;        // packed by the module's struct
    Ref compressed;  // the scanlines compressed: at `level` if given, else by the module's zlib.compress
};

std::optional<Encoded> encode_png(int32_t width, int32_t height, PyObject* pixels, PyObject* alpha,
                                  PyObject* filter_types, std::optional<int32_t> level);

// Reads, once at import, which zlib library the host's zlib module runs on.
// False with an exception set when reading fails for another reason than absence.
bool learn_host_zlib(PyObject* zlib);

}  // namespace vextaro
