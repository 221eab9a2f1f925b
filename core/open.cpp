#include "core/open.hpp"

#include <cstring>

#include "binding/args.hpp"
#include "binding/buffer.hpp"
#include "binding/compat.hpp"
#include "binding/namespace.hpp"
#include "binding/source.hpp"
#include "binding/stream.hpp"
#include "core/bmp_decoder.hpp"
#include "core/errors.hpp"
#include "core/hooks.hpp"
#include "core/image.hpp"
#include "core/png_decoder.hpp"

namespace vextaro {

namespace {

int starts_with_png_signature(PyObject* signature) {
    const auto bound = look_up(Hook::PNG_SIGNATURE);
    if (!bound) return -1;
    PyObject* png = bound->value.get();
    if (PyBytes_CheckExact(png)) {
        const Py_ssize_t n = PyBytes_GET_SIZE(png);
        return PyBytes_GET_SIZE(signature) >= n && std::memcmp(PyBytes_AS_STRING(signature), PyBytes_AS_STRING(png), n) == 0;
    }
    Ref result = Ref::steal(PyObject_CallMethodObjArgs(signature, names.startswith, png, nullptr));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

Ref stream_to_image(Source& source) {
    // Rewinding first makes the format come from the bytes that are decoded,
    // wherever the stream stood.
    if (!source.seek(uint64_t{0})) return {};
    Ref signature = source.read(8);
    if (!signature || !source.seek(uint64_t{0})) return {};
    const int png = starts_with_png_signature(signature.get());
    if (png < 0) return {};
    if (png) return load_png(source);
    if (PyBytes_GET_SIZE(signature.get()) >= 2 && std::memcmp(PyBytes_AS_STRING(signature.get()), "BM", 2) == 0)
        return load_bmp(source);
    return Ref::steal(raise(PyExc_ValueError, message::kUnsupportedFormat));
}

enum class StreamArg { stream, count };
enum class OpenArg { cls, source, count };

PyObject* stream_to_image_body(const BoundArgs& a) {
    Source source = Source::from_stream(a[StreamArg::stream]);
    return stream_to_image(source).release();
}

// decoder(stream), where decoder is cls._streamToImage; `native` tells whether
// the module's own decoder ran, so that its buffers are seen by nobody else yet.
Ref decode_with(PyObject* decoder, PyObject* stream, bool& native) {
    native = is_own_decoder(decoder);
    if (!native) return Ref::steal(PyObject_CallOneArg(decoder, stream));
    Source source = Source::from_stream(stream);
    return stream_to_image(source);
}

Ref decode_file(PyObject* cls, PyObject* path, bool& native) {
    Ref file = Ref::steal(PyObject_CallFunction(host.open, "Os", path, "rb"));
    if (!file) return file;
    Ref decoder = class_decoder(cls);
    Ref decoded = decoder ? decode_with(decoder.get(), file.get(), native) : Ref();
    if (!close_stream(file.get())) return {};
    return decoded;
}

// bytes(data), made empty and filled: PyPy ends the process when it cannot
// find the memory for the bytes its own conversion returns.
Ref bytes_copy(PyObject* data) {
    auto view = ByteBuffer::readable(data);
    if (!view) return {};
    const auto from = view->bytes();
    Ref copy = new_bytes(nullptr, from.size());
    if (copy && !from.empty()) std::memcpy(PyBytes_AS_STRING(copy.get()), from.data(), from.size());
    return copy;
}

// Raw bytes are decoded in place when no stream over them could be observed:
// the in-memory stream class, the class's decoder, the chunk reader and struct
// are all the module's own, so no code of the caller's runs while decoding.
// (Attributes patched on the host's own struct and zlib modules still run;
// they see the same calls as on the stream path.) On PyPy `data` may be a
// memoryview over the bytes given to open (open_view_body).
Ref decode_bytes(PyObject* cls, PyObject* data, bool& native) {
    // In the order of cls._streamToImage(BytesIO(data)).
    Ref decoder = class_decoder(cls);
    const auto bytes_io = decoder ? look_up(Hook::BytesIO) : std::nullopt;
    if (!bytes_io) return {};
    int in_memory = bytes_io->own && is_own_decoder(decoder.get());
    if (in_memory == 1) in_memory = is_own(Hook::_readChunk);
    if (in_memory == 1) in_memory = is_own(Hook::struct_);
    if (in_memory < 0) return {};
    if (in_memory) {
        // A bytearray is decoded from a copy, as an in-memory stream over it would
        // read: the decoder lets other threads run, and they could write to it.
        Ref snapshot = PyBytes_CheckExact(data) || PyMemoryView_Check(data) ? Ref::borrow(data) : bytes_copy(data);
        auto source = snapshot ? Source::from_memory(snapshot.get()) : std::nullopt;
        if (!source) return {};
        native = true;
        return stream_to_image(*source);
    }
    Ref bytes = PyMemoryView_Check(data) ? Ref::steal(PyObject_GetAttr(data, names.obj)) : Ref::borrow(data);
    Ref stream = bytes ? Ref::steal(PyObject_CallOneArg(bytes_io->value.get(), bytes.get())) : Ref();
    return stream ? decode_with(decoder.get(), stream.get(), native) : Ref();
}

// The image from a decoder's record, announced by the report line.
PyObject* finish_open(PyObject* cls, Ref decoded, bool native) {
    // A decoder's record, by the names of its fields.
    enum Field { kWidth, kHeight, kPixels, kChannels, kAlpha, kChunks, kBmpMeta, kPngFilters, kFields };
    Ref f[kFields];
    if (!decoded || !unpack_exactly(decoded.get(), f, kFields)) return nullptr;

    Ref image;
    if (native && cls == reinterpret_cast<PyObject*>(&ImageType)) {
        // Our own decoder made these buffers and nobody else has seen them: keep them.
        auto w = to_int32(f[kWidth].get());
        auto h = w ? to_int32(f[kHeight].get()) : std::nullopt;
        if (!h) return nullptr;
        const ImageParts parts = {*w, *h, f[kPixels].get(), f[kAlpha].get(), f[kChunks].get(), f[kBmpMeta].get(),
                                  f[kPngFilters].get()};
        image = Ref::steal(build_image(&ImageType, parts, true));
    } else {
        image = Ref::steal(PyObject_CallFunctionObjArgs(cls, f[kWidth].get(), f[kHeight].get(), f[kPixels].get(),
                                                        f[kAlpha].get(), f[kChunks].get(), f[kBmpMeta].get(),
                                                        f[kPngFilters].get(), nullptr));
    }
    if (!image) return nullptr;
    Ref line = Ref::steal(PyUnicode_FromFormat("[SimpleImage] Opened image: %Sx%S, channels=%S",
                                               f[kWidth].get(), f[kHeight].get(), f[kChannels].get()));
    if (!line || !Ref::steal(PyObject_CallOneArg(host.print, line.get()))) return nullptr;
    return image.release();
}

PyObject* open_source(PyObject* cls, PyObject* source) {
    if (PyObject_TypeCheck(source, &ImageType)) return compat::new_ref(source);

    const auto path_class = look_up(Hook::Path);
    if (!path_class) return nullptr;
    int is_path = PyUnicode_Check(source);
    if (!is_path && (is_path = PyObject_IsInstance(source, path_class->value.get())) < 0) return nullptr;

    bool native = false;
    Ref decoded;
    if (is_path) {
        decoded = decode_file(cls, source, native);
    } else if (PyBytes_Check(source) || PyByteArray_Check(source)) {
        decoded = decode_bytes(cls, source, native);
    } else {
        return raise(PyExc_TypeError, message::kSourceType);
    }
    return finish_open(cls, std::move(decoded), native);
}

PyObject* open_body(const BoundArgs& a) { return open_source(a[OpenArg::cls], a[OpenArg::source]); }

#if defined(PYPY_VERSION)
enum class OpenViewArg { cls, view, count };

// open(cls, data) for a bytes object that PyPy's open hands over as a memoryview:
// PyPy copies a bytes object for C when it is passed, but not the storage a
// memoryview points C to. Where a module-level Path of the caller's could see
// the difference, the bytes object itself takes the usual way.
PyObject* open_view_body(const BoundArgs& a) {
    PyObject* cls = a[OpenViewArg::cls];
    PyObject* view = a[OpenViewArg::view];
    const auto path_class = look_up(Hook::Path);
    if (!path_class) return nullptr;
    if (!path_class->own) {
        Ref bytes = Ref::steal(PyObject_GetAttr(view, names.obj));
        return bytes ? open_source(cls, bytes.get()) : nullptr;
    }
    bool native = false;
    Ref decoded = decode_bytes(cls, view, native);
    return finish_open(cls, std::move(decoded), native);
}

const Param kOpenViewParams[] = {{"cls"}, {"view"}};
static_assert(std::size(kOpenViewParams) == param_count<OpenViewArg>());
#endif

const Param kStreamToImageParams[] = {{"stream"}};
const Param kOpenParams[] = {{"cls"}, {"source", Check::Any, nullptr, "ImageInput"}};
static_assert(std::size(kStreamToImageParams) == param_count<StreamArg>());
static_assert(std::size(kOpenParams) == param_count<OpenArg>());

}  // namespace

const FunctionSpec kStreamToImageSpec = {"_streamToImage", "SimpleImage._streamToImage", Kind::StaticMethod,
                                         kStreamToImageParams, 0, nullptr, stream_to_image_body};
const FunctionSpec kOpenSpec = {"open", "SimpleImage.open", Kind::ClassMethod, kOpenParams, 0, "SimpleImage",
                                open_body};
#if defined(PYPY_VERSION)
const FunctionSpec kOpenViewSpec = {"_open_view", "SimpleImage._open_view", Kind::Function, kOpenViewParams, 0,
                                    nullptr, open_view_body};
#endif

}  // namespace vextaro
