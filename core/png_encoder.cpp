#include "core/png_encoder.hpp"

#include <cstring>
#include <span>

#include "binding/buffer.hpp"
#include "binding/gil.hpp"
#include "binding/namespace.hpp"
#include "binding/process.hpp"
#include "core/errors.hpp"
#include "core/geometry.hpp"
#include "core/hooks.hpp"
#include "core/kept.hpp"
#include "core/lengths.hpp"
#include "core/writing.hpp"
#include "png/deflate.hpp"
#include "png/filter.hpp"
#include "png/header.hpp"

namespace vextaro {

namespace {

using message::kAlphaLength;
using message::kFilterCount;
using message::kPixelLength;

// The view's byte length == expected, raising `message` otherwise.
bool byte_length_is(const ByteBuffer& view, int64_t expected, const char* message) {
    return length_matches(static_cast<int64_t>(view.bytes().size()), expected, message);
}

// The IHDR data an image of this size and kind has, packed by the module's struct.
Ref fresh_ihdr(int32_t width, int32_t height, bool alpha) {
    const auto struct_module = look_up(Hook::struct_);
    if (!struct_module) return {};
    return call_method(struct_module->value.get(), names.pack, "siiiiiii", png::kIhdrFormat, width, height, 8,
                       alpha ? 6 : 2, 0, 0, 0);
}

// Without a level, the module's zlib.compress(scanlines), the bytes exactly
// what the host's zlib makes: compressed here, without handing it a copy of the
// scanlines (PyPy copies C memory it is handed), only while compress is the
// host's own on the zlib library linked here. With a level, the module's own
// deflater at that level while zlib.compress is the host's (whichever zlib
// library that runs on), and the rebound compress(scanlines, level) otherwise.
Ref compressed(std::span<const uint8_t> scanlines, std::optional<int32_t> level) {
    const auto compress_function = zlib_function(names.compress, "compress");
    if (!compress_function) return {};
    PyObject* compress = compress_function->value.get();
    const bool here = compress_function->host && (level || process_state.host_zlib_is_ours);
    if (!here) {
        Ref raw = new_bytearray(scanlines.size());
        Ref level_value = level && raw ? Ref::steal(PyLong_FromLong(*level)) : Ref();
        if (!raw || (level && !level_value)) return {};
        if (!scanlines.empty()) std::memcpy(PyByteArray_AS_STRING(raw.get()), scanlines.data(), scanlines.size());
        if (level) return Ref::steal(PyObject_CallFunctionObjArgs(compress, raw.get(), level_value.get(), nullptr));
        return Ref::steal(PyObject_CallOneArg(compress, raw.get()));
    }
    auto deflater = level ? png::level_deflater(*level) : png::zlib_deflater(png::kZlibDefaultLevel);
    if (!deflater) return Ref::steal(PyErr_NoMemory());
    // Compressed straight into the bytes object that is written out.
    Ref out = new_bytes(nullptr, deflater->bound(scanlines.size()));
    if (!out) return {};
    const std::span<uint8_t> room(reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(out.get())),
                                  static_cast<size_t>(PyBytes_GET_SIZE(out.get())));
    const auto size = without_gil([&] { return deflater->run(scanlines, room); });
    if (!size) return Ref::steal(PyErr_NoMemory());
    return shrunk_bytes(std::move(out), *size);
}

}  // namespace

// Everything that comes before the file is opened: the checks, the IHDR, the
// scanline encoding and the compression.
std::optional<Encoded> encode_png(int32_t width, int32_t height, PyObject* pixels, PyObject* alpha,
                                  PyObject* filter_types, std::optional<int32_t> level) {
    const auto pixel_length = raster_length(width, height, 3);
    const auto plane_length = raster_length(width, height, 1);
    const bool has_alpha = alpha != Py_None;
    if (!length_is(pixels, pixel_length, kPixelLength)) return std::nullopt;
    if (has_alpha && !length_is(alpha, plane_length, kAlphaLength)) return std::nullopt;
    Encoded out{fresh_ihdr(width, height, has_alpha), {}};
    if (!out.ihdr || !check_dimensions_unsigned(width, height)) return std::nullopt;
    // Each buffer is exported as soon as it is taken, and its byte length checked
    // then: the code that runs after (len() of the filter list, an alpha object's
    // buffer export) can no longer resize it.
    auto pixel_bytes = pinned_pixels(pixels, pixel_length);
    if (!pixel_bytes) return std::nullopt;
    std::optional<ByteBuffer> alpha_bytes, filter_bytes;
    if (has_alpha) {
        alpha_bytes = ByteBuffer::writable_bytes(alpha);
        if (!alpha_bytes || !byte_length_is(*alpha_bytes, *plane_length, kAlphaLength)) return std::nullopt;
    }
    if (filter_types != Py_None) {
        if (!length_is(filter_types, height, kFilterCount)) return std::nullopt;
        filter_bytes = ByteBuffer::writable_bytes(filter_types);
        if (!filter_bytes || !byte_length_is(*filter_bytes, height, kFilterCount)) return std::nullopt;
    }

    const int channels = has_alpha ? 4 : 3;
    const auto w = static_cast<uint64_t>(width), h = static_cast<uint64_t>(height);
    uint64_t scanline_length;
    if (__builtin_mul_overflow(w * channels + 1, h, &scanline_length) || scanline_length > uint64_t(PY_SSIZE_T_MAX)) {
        PyErr_NoMemory();
        return std::nullopt;
    }
    // The scanlines, and after them the two RGBA rows the encoder assembles.
    const uint64_t rows_length = has_alpha && h > 0 ? 2 * w * 4 : 0;
    // In the thread's kept buffer where it fits: a loop of saves then faults in
    // no fresh pages for the scanlines.
    const WorkingBuffer raw(scanline_length + rows_length, this_threads_kept_buffer());
    if (raw.failed()) {
        PyErr_NoMemory();
        return std::nullopt;
    }
    const std::span<uint8_t> lines(raw.bytes().data(), scanline_length);
    // Taken again at the last moment, after the last allocation (a collection may
    // run finalisers): on PyPy no code of the caller's can run from here to the
    // end of the encoding, and on CPython the exports keep every size.
    if (!pixel_bytes->retake() || !byte_length_is(*pixel_bytes, *pixel_length, kPixelLength) ||
        (alpha_bytes && (!alpha_bytes->retake() || !byte_length_is(*alpha_bytes, *plane_length, kAlphaLength))) ||
        (filter_bytes && (!filter_bytes->retake() || !byte_length_is(*filter_bytes, height, kFilterCount))))
        return std::nullopt;
    // Filtered with the interpreter lock held: each row is filtered against the
    // one above it, so another thread writing the pixels meanwhile would make
    // values that were never in the image. Compression, which reads only our
    // own scanline buffer, is where the lock is let go.
    const auto bad = png::encode_scanlines(pixel_bytes->bytes().data(),
                                           has_alpha ? alpha_bytes->bytes().data() : nullptr, w, h, channels,
                                           filter_bytes ? filter_bytes->bytes().data() : nullptr, lines.data(),
                                           raw.bytes().data() + scanline_length);
    if (bad) {
        raise_bad_filter(bad->filter);
        return std::nullopt;
    }
    out.compressed = compressed(lines, level);
    if (!out.compressed) return std::nullopt;
    return out;
}

bool learn_host_zlib(PyObject* zlib) {
    Ref version = Ref::steal(PyObject_GetAttrString(zlib, "ZLIB_RUNTIME_VERSION"));
    if (!version) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    const char* text = PyUnicode_Check(version.get()) ? PyUnicode_AsUTF8(version.get()) : nullptr;
    if (text == nullptr) PyErr_Clear();
    process_state.host_zlib_is_ours = text != nullptr && std::strcmp(text, png::zlib_runtime_version()) == 0;
    return true;
}

}  // namespace vextaro
