// The module's own errors: the messages that are not a codec's, and the
// helpers that raise them. The texts are part of the interface, word for word:
// callers match them, and the tests hold them. The message is always the
// exception's only argument.
#pragma once

#include "core/layer.hpp"

#include <Python.h>

#include <cstdint>

#include "bmp/errors.hpp"
#include "png/errors.hpp"

namespace vextaro {

namespace message {
inline constexpr const char* kPixelLength = "Pixel data length does not match image dimensions";
inline constexpr const char* kAlphaLength = "Alpha channel length does not match image dimensions";
inline constexpr const char* kFilterCount = "PNG filter count does not match image height";
inline constexpr const char* kOutOfBounds = "Pixel coordinate out of bounds";
inline constexpr const char* kUnsupportedFormat = "Unsupported image format";
inline constexpr const char* kSourceType = "source must be a file path or raw bytes";
inline constexpr const char* kLevelForBmp =
    "compress_level is for PNG: this image carries _bmp_header and saves as BMP (set it to None for a PNG)";
}  // namespace message

// Raises `type` with `message`; returns nullptr, so that a caller can return it.
inline std::nullptr_t raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    return nullptr;
}

inline std::nullptr_t raise(png::Error e) { return raise(PyExc_ValueError, png::message(e)); }
inline std::nullptr_t raise(bmp::Error e) { return raise(PyExc_ValueError, bmp::message(e)); }

// A filter type above 4, in a file being read or a filter list being written.
inline std::nullptr_t raise_bad_filter(uint8_t filter) {
    PyErr_Format(PyExc_ValueError, "Unsupported PNG filter: %d", int(filter));
    return nullptr;
}

}  // namespace vextaro
