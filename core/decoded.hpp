// What the module's decoders make of a file, kept as a C++ record until
// Python sees it: open builds the image from it directly, and only
// _streamToImage hands it out, as a tuple in the order that function has
// always returned (channels after the pixels).
#pragma once

#include "core/layer.hpp"

#include <Python.h>

#include <cstdint>

#include "binding/pyref.hpp"

namespace vextaro {

// The image's fields in the constructor's order, under the names Python sees
// (core/image.hpp), and the number of channels the file had.
struct Decoded {
    int64_t width;
    int64_t height;
    Ref pixels;       // bytearray of width * height * 3 bytes, seen by nobody else yet
    Ref alpha;        // bytearray or None
    Ref png_chunks;   // list of (type, data, length) or None
    Ref bmp_header;   // dict or None
    Ref png_filters;  // bytearray or None
    int channels;

    // (width, height, pixels, channels, alpha, png_chunks, bmp_header, png_filters)
    Ref as_tuple() const {
        return Ref::steal(Py_BuildValue("(LLOiOOOO)", static_cast<long long>(width), static_cast<long long>(height),
                                        pixels.get(), channels, alpha.get(), png_chunks.get(), bmp_header.get(),
                                        png_filters.get()));
    }
};

}  // namespace vextaro
