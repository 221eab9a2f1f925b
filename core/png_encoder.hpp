// The module's host of the PNG encode (png/encode.hpp): the image's buffers
// and chunk list as Python objects, and the names a caller may rebind
// (struct.pack for IHDR, zlib.compress, _split_idat_payload, zlib.crc32 in
// framing), all before any file is opened.
#pragma once

#include "core/layer.hpp"

#include <Python.h>

#include <cstdint>
#include <optional>

#include "binding/pyref.hpp"
#include "core/chunks.hpp"
#include "png/checked_vector.hpp"

namespace vextaro {

struct Encoded {
    Ref ihdr;        // packed by the module's struct
    Ref compressed;  // the scanlines compressed: at `level` if given, else as the module's zlib.compress does
};

std::optional<Encoded> encode_png(int32_t width, int32_t height, PyObject* pixels, PyObject* alpha,
                                  PyObject* filter_types, std::optional<int32_t> level);

// The frames of the file after its signature, for an image kept with its chunk list.
std::optional<CheckedVector<ChunkPieces>> encode_png_with_chunks(int32_t width, int32_t height, PyObject* pixels,
                                                                 PyObject* alpha, PyObject* chunks,
                                                                 PyObject* filter_types, std::optional<int32_t> level);

}  // namespace vextaro
