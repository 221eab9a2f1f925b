// What the module's decoders make of a file, kept as a C++ record until
// Python sees it: open builds the image from it directly, and only
// _streamToImage hands it out, as the 8-tuple
// (width, height, pixels, channels, alpha, chunks, bmp_meta, filters).
#pragma once

#include "core/layer.hpp"

#include <Python.h>

#include <cstdint>

#include "binding/pyref.hpp"

namespace vextaro {

struct Decoded {
    int64_t width;
    int64_t height;
    Ref pixels;  // bytearray of width * height * 3 bytes, seen by nobody else yet
    int channels;
    Ref alpha;     // bytearray or None
    Ref chunks;    // list of (type, data, length) or None
    Ref bmp_meta;  // dict or None
    Ref filters;   // bytearray or None

    Ref as_tuple() const {
        return Ref::steal(Py_BuildValue("(LLOiOOOO)", static_cast<long long>(width), static_cast<long long>(height),
                                        pixels.get(), channels, alpha.get(), chunks.get(), bmp_meta.get(),
                                        filters.get()));
    }
};

}  // namespace vextaro
