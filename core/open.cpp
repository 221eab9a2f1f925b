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
        return PyBytes_GET_SIZE(signature) >= n &&
               std::memcmp(PyBytes_AS_STRING(signature), PyBytes_AS_STRING(png), n) == 0;
    }
    Ref result = Ref::steal(PyObject_CallMethodObjArgs(signature, names.startswith, png, nullptr));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

std::optional<Decoded> stream_to_image(Source& source) {
    // Rewinding first makes the format come from the bytes that are decoded,
    // wherever the stream stood.
    if (!source.seek(uint64_t{0})) return std::nullopt;
    Ref signature = source.read(8);
    if (!signature || !source.seek(uint64_t{0})) return std::nullopt;
    const int png = starts_with_png_signature(signature.get());
    if (png < 0) return std::nullopt;
    if (png) return load_png(source);
    if (PyBytes_GET_SIZE(signature.get()) >= 2 && std::memcmp(PyBytes_AS_STRING(signature.get()), "BM", 2) == 0)
        return load_bmp(source);
    return raise(PyExc_ValueError, message::kUnsupportedFormat), std::nullopt;
}

enum class StreamArg { stream, count };
enum class OpenArg { cls, source, count };

PyObject* stream_to_image_body(const BoundArgs& a) {
    Source source = Source::from_stream(a[StreamArg::stream]);
    const auto decoded = stream_to_image(source);
    return decoded ? decoded->as_tuple().release() : nullptr;
}

// What open's decoder handed over: the module's own decoder's record, whose
// buffers nobody else has seen yet, or what a caller's decoder returned.
struct Outcome {
    std::optional<Decoded> record;
    Ref result;
};

// decoder(stream), where decoder is cls._streamToImage.
Outcome decode_with(PyObject* decoder, PyObject* stream) {
    if (!is_own_decoder(decoder)) return {std::nullopt, Ref::steal(PyObject_CallOneArg(decoder, stream))};
    Source source = Source::from_stream(stream);
    return {stream_to_image(source), {}};
}

Outcome decode_file(PyObject* cls, PyObject* path) {
    Ref file = Ref::steal(PyObject_CallFunction(host.open, "Os", path, "rb"));
    if (!file) return {};
    Ref decoder = class_decoder(cls);
    Outcome decoded = decoder ? decode_with(decoder.get(), file.get()) : Outcome{};
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
Outcome decode_bytes(PyObject* cls, PyObject* data) {
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
        return {stream_to_image(*source), {}};
    }
    Ref bytes = PyMemoryView_Check(data) ? Ref::steal(PyObject_GetAttr(data, names.obj)) : Ref::borrow(data);
    Ref stream = bytes ? Ref::steal(PyObject_CallOneArg(bytes_io->value.get(), bytes.get())) : Ref();
    return stream ? decode_with(decoder.get(), stream.get()) : Outcome{};
}

// The image, once the report line announcing it is printed.
PyObject* announced(Ref image, Ref line) {
    if (!image || !line || !Ref::steal(PyObject_CallOneArg(host.print, line.get()))) return nullptr;
    return image.release();
}

// The image from the module's own decoder's record: for the class itself its
// buffers are kept, for a subclass they go to its constructor.
PyObject* finish_own(PyObject* cls, Decoded& d) {
    Ref width = Ref::steal(PyLong_FromLongLong(d.width));
    Ref height = width ? Ref::steal(PyLong_FromLongLong(d.height)) : Ref();
    if (!height) return nullptr;
    Ref image;
    if (cls == reinterpret_cast<PyObject*>(&ImageType)) {
        auto w = to_int32(width.get());
        auto h = w ? to_int32(height.get()) : std::nullopt;
        if (!h) return nullptr;
        const ImageParts parts = {
            *w, *h, d.pixels.get(), d.alpha.get(), d.png_chunks.get(), d.bmp_header.get(), d.png_filters.get()};
        image = Ref::steal(build_image(&ImageType, parts, true));
    } else {
        image = Ref::steal(PyObject_CallFunctionObjArgs(cls, width.get(), height.get(), d.pixels.get(), d.alpha.get(),
                                                        d.png_chunks.get(), d.bmp_header.get(), d.png_filters.get(),
                                                        nullptr));
    }
    if (!image) return nullptr;
    return announced(std::move(image),
                     Ref::steal(PyUnicode_FromFormat("[SimpleImage] Opened image: %lldx%lld, channels=%d",
                                                     static_cast<long long>(d.width), static_cast<long long>(d.height),
                                                     d.channels)));
}

// The image from what open's decoder handed over, announced by the report line.
PyObject* finish_open(PyObject* cls, Outcome decoded) {
    if (decoded.record) return finish_own(cls, *decoded.record);
    // A caller's decoder's record, by the names of its fields.
    enum Field { kWidth, kHeight, kPixels, kChannels, kAlpha, kChunks, kBmpMeta, kPngFilters, kFields };
    Ref f[kFields];
    if (!decoded.result || !unpack_exactly(decoded.result.get(), f, kFields)) return nullptr;
    Ref image = Ref::steal(PyObject_CallFunctionObjArgs(cls, f[kWidth].get(), f[kHeight].get(), f[kPixels].get(),
                                                        f[kAlpha].get(), f[kChunks].get(), f[kBmpMeta].get(),
                                                        f[kPngFilters].get(), nullptr));
    if (!image) return nullptr;
    return announced(std::move(image),
                     Ref::steal(PyUnicode_FromFormat("[SimpleImage] Opened image: %Sx%S, channels=%S", f[kWidth].get(),
                                                     f[kHeight].get(), f[kChannels].get())));
}

PyObject* open_source(PyObject* cls, PyObject* source) {
    if (PyObject_TypeCheck(source, &ImageType)) return compat::new_ref(source);

    const auto path_class = look_up(Hook::Path);
    if (!path_class) return nullptr;
    int is_path = PyUnicode_Check(source);
    if (!is_path && (is_path = PyObject_IsInstance(source, path_class->value.get())) < 0) return nullptr;

    if (is_path) return finish_open(cls, decode_file(cls, source));
    if (PyBytes_Check(source) || PyByteArray_Check(source)) return finish_open(cls, decode_bytes(cls, source));
    return raise(PyExc_TypeError, message::kSourceType);
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
    return finish_open(cls, decode_bytes(cls, view));
}

constexpr Param kOpenViewParams[] = {{"cls"}, {"view"}};
static_assert(named_as<OpenViewArg>(kOpenViewParams));
#endif

constexpr Param kStreamToImageParams[] = {{"stream"}};
constexpr Param kOpenParams[] = {{"cls"}, {"source", Check::Any, nullptr, "ImageInput"}};
static_assert(named_as<StreamArg>(kStreamToImageParams));
static_assert(named_as<OpenArg>(kOpenParams));

}  // namespace

const FunctionSpec kStreamToImageSpec = {
    .name = "_streamToImage",
    .qualname = "SimpleImage._streamToImage",
    .kind = Kind::StaticMethod,
    .params = kStreamToImageParams,
    .defaults = 0,
    .returns = nullptr,
    .body = stream_to_image_body,
};
const FunctionSpec kOpenSpec = {
    .name = "open",
    .qualname = "SimpleImage.open",
    .kind = Kind::ClassMethod,
    .params = kOpenParams,
    .defaults = 0,
    .returns = "SimpleImage",
    .body = open_body,
};
#if defined(PYPY_VERSION)
const FunctionSpec kOpenViewSpec = {
    .name = "_open_view",
    .qualname = "SimpleImage._open_view",
    .kind = Kind::Function,
    .params = kOpenViewParams,
    .defaults = 0,
    .returns = nullptr,
    .body = open_view_body,
};
#endif

}  // namespace vextaro
