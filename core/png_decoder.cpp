#include "core/png_decoder.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <optional>
#include <span>

#include "binding/args.hpp"
#include "binding/buffer.hpp"
#include "binding/compat.hpp"
#include "binding/gil.hpp"
#include "binding/namespace.hpp"
#include "core/chunks.hpp"
#include "core/errors.hpp"
#include "core/hooks.hpp"
#include "core/kept.hpp"
#include "core/working_buffer.hpp"
#include "png/checked_vector.hpp"
#include "png/decode.hpp"
#include "png/header.hpp"
#include "png/huge_pages.hpp"
#include "png/inflate.hpp"
#include "png/payloads.hpp"
#include "png/unfilter.hpp"

namespace vextaro {

namespace {

using png::Header;

bool read_header(PyObject* data, Header& h) {
    const auto struct_module = look_up(Hook::struct_);
    if (!struct_module) return false;
    Ref format = Ref::steal(PyUnicode_FromString(png::kIhdrFormat));
    if (!format) return false;
    Ref values = Ref::steal(
        PyObject_CallMethodObjArgs(struct_module->value.get(), names.unpack, format.get(), data, nullptr));
    static_assert(std::size(png::kIhdrFieldSizes) == 7);
    Ref items[7];
    if (!values || !unpack_exactly(values.get(), items, 7)) return false;
    int32_t* fields[7] = {&h.width, &h.height, &h.bit_depth, &h.colour_type, &h.compression, &h.filter, &h.interlace};
    int32_t converted[7];
    for (int k = 0; k < 7; ++k) {
        auto v = to_int32(items[k].get());
        if (!v) return false;
        converted[k] = *v;
    }
    for (int k = 0; k < 7; ++k) *fields[k] = converted[k];
    return true;
}

// The IDAT payloads in file order: the objects the chunk reader gave (none for
// chunks read from memory), and their bytes while every one of them has some.
struct ImageData {
    Ref objects = Ref::steal(PyList_New(0));
    // References of our own to the objects the views point into: a list does
    // not keep PyPy's C-side copy of an object alive.
    CheckedVector<Ref> owners;
    CheckedVector<std::span<const uint8_t>> views;
    bool all_bytes = true;

    // Once the payloads have been copied elsewhere, their objects can go.
    void release_objects() {
        if (views.size() <= 1) return;
        owners.clear();
        PyList_SetSlice(objects.get(), 0, PyList_GET_SIZE(objects.get()), nullptr);
    }
};

// The next (type, data) from the module's _readChunk, or read here when it is our own.
std::optional<Chunk> next_chunk(Source& source) {
    const auto reader = look_up(Hook::_readChunk);
    if (!reader) return std::nullopt;
    // A memory source exists only while nothing can rebind the reader meanwhile.
    if (reader->own || source.in_memory()) return read_chunk(source);
    Ref result = Ref::steal(PyObject_CallOneArg(reader->value.get(), source.stream()));
    Ref items[2];
    if (!result || !unpack_exactly(result.get(), items, 2)) return std::nullopt;
    Chunk chunk{std::move(items[0]), std::move(items[1]), {}};
    if (PyBytes_CheckExact(chunk.data.get()))
        chunk.view = {reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(chunk.data.get())),
                      static_cast<size_t>(PyBytes_GET_SIZE(chunk.data.get()))};
    return chunk;
}

// What the host's zlib.decompress raises for the same outcome.
PyObject* raise_zlib_error(PyObject* zlib, const png::InflateResult& r) {
    if (r.kind == png::InflateResult::Kind::OutOfMemory) return PyErr_NoMemory();
    Ref error = Ref::steal(PyObject_GetAttr(zlib, names.error));
    if (!error) return nullptr;
    if (r.message[0] == '\0') {
        PyErr_Format(error.get(), "Error %d while decompressing data", r.code);
    } else {
        PyErr_Format(error.get(), "Error %d while decompressing data: %.200s", r.code, r.message);
    }
    return nullptr;
}

Ref host_decompress(PyObject* decompress, PyObject* compressed) {
    return Ref::steal(PyObject_CallOneArg(decompress, compressed));
}

// b"".join of the payloads, for a zlib.decompress that is not the host's.
Ref joined_object(ImageData& idat) {
    if (!idat.all_bytes || PyList_GET_SIZE(idat.objects.get()) == static_cast<Py_ssize_t>(idat.views.size())) {
        Ref empty = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
        return empty ? Ref::steal(PyObject_CallMethodObjArgs(empty.get(), names.join, idat.objects.get(), nullptr))
                     : Ref();
    }
    ByteBlock storage;
    const auto joined = png::join(idat.views, storage);
    if (!joined) return Ref::steal(PyErr_NoMemory());
    return new_bytes(joined->data(), joined->size());
}

std::span<uint8_t> bytearray_span(PyObject* bytearray) {
    return {reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(bytearray)),
            static_cast<size_t>(PyByteArray_GET_SIZE(bytearray))};
}

// The module as the decode pipeline's host: the chunks through its _readChunk,
// IHDR through its struct, its zlib where rebound, the planes as bytearrays,
// failures as the exception set.
class ModuleHost {
public:
    using Chunk = vextaro::Chunk;

    // The thread's kept buffer, for the payloads of an RGB image.
    class JoinSpace {
    public:
        JoinSpace(ModuleHost&, size_t size) : buffer_(size, this_threads_kept_buffer()) {}
        bool failed() const { return buffer_.failed(); }
        std::span<uint8_t> bytes() const { return buffer_.bytes(); }

    private:
        WorkingBuffer buffer_;
    };

    explicit ModuleHost(Source& source) : source_(source) {}
    bool ready() const { return chunks && idat_.objects; }

    std::optional<Chunk> next_chunk() { return vextaro::next_chunk(source_); }
    int is(Chunk& chunk, const char* type) { return chunk_type_is(chunk.type.get(), type); }

    bool image_data(Chunk& chunk) {
        // Image data read from memory stays a view: no copy is made of it.
        length_ = static_cast<Py_ssize_t>(chunk.view.size());
        if (chunk.data) {
            if ((length_ = PyObject_Length(chunk.data.get())) < 0) return false;
            if (PyList_Append(idat_.objects.get(), chunk.data.get()) < 0) return false;
            idat_.all_bytes = idat_.all_bytes && PyBytes_CheckExact(chunk.data.get());
            if (!idat_.owners.push_back(std::move(chunk.data))) return no_memory();
        }
        return idat_.views.push_back(chunk.view) || no_memory();
    }
    bool other_chunk(Chunk& chunk) {
        PyObject* data = chunk.data_object();
        return data != nullptr && (length_ = PyObject_Length(data)) >= 0;
    }
    bool header(Chunk& chunk, png::Header& h) { return read_header(chunk.data.get(), h); }
    bool list(Chunk& chunk, bool idat) {
        Ref entry = Ref::steal(Py_BuildValue("(OOn)", chunk.type.get(), idat ? Py_None : chunk.data.get(), length_));
        return entry && PyList_Append(chunks.get(), entry.get()) == 0;
    }
    png::Payloads payloads() const { return idat_.views; }
    void release_payloads() { idat_.release_objects(); }

    bool refuse(png::Error e) { return raise(e), false; }
    bool no_memory() { return PyErr_NoMemory(), false; }
    // Inflating here, the module raises what the host's decompress would: its zlib's error.
    bool zlib_error(const png::InflateResult& r) { return raise_zlib_error(original(Hook::zlib), r), false; }
    bool bad_filter(uint8_t filter) { return raise_bad_filter(filter), false; }
    uint64_t max_size() const { return uint64_t(PY_SSIZE_T_MAX); }
    template <typename Work>
    auto unlocked(Work&& work) {
        return without_gil(std::forward<Work>(work));
    }

    int own_inflater() {
        decompress_ = zlib_function(names.decompress, "decompress");
        if (!decompress_) return -1;
        return decompress_->host && idat_.all_bytes;
    }
    // b"".join of the payloads through the module's zlib.decompress.
    bool inflate_elsewhere(std::optional<uint64_t> expected, std::optional<uint64_t> alpha_size) {
        Ref joined = joined_object(idat_);
        Ref inflated = joined ? host_decompress(decompress_->value.get(), joined.get()) : Ref();
        if (!inflated) return false;
        const Py_ssize_t length = PyObject_Length(inflated.get());
        if (length < 0) return false;
        if (!expected || uint64_t(length) != *expected) return refuse(png::Error::Malformed);
        scanlines = Ref::steal(PyByteArray_FromObject(inflated.get()));
        if (scanlines && uint64_t(PyByteArray_GET_SIZE(scanlines.get())) != *expected)
            return refuse(png::Error::Malformed);
        if (!scanlines) return false;
        alpha_ = alpha_size ? new_bytearray(*alpha_size) : Ref::borrow(Py_None);
        return bool(alpha_);
    }
    bool make_planes(uint64_t lines, std::optional<uint64_t> alpha_bytes) {
        scanlines = new_bytearray(lines);
        alpha_ = alpha_bytes ? new_bytearray(*alpha_bytes) : Ref::borrow(Py_None);
        return scanlines && alpha_;
    }
    std::span<uint8_t> lines() const { return bytearray_span(scanlines.get()); }
    std::span<uint8_t> alpha() const { return bytearray_span(alpha_.get()); }
    bool shrink_alpha(uint64_t size) {
        return compat::shrink_fresh_bytearray(alpha_.get(), static_cast<Py_ssize_t>(size));
    }
    png::HostBytes inflate_with_host(std::span<const uint8_t> joined) {
        Ref compressed = new_bytes(joined.data(), joined.size());
        inflated_ = compressed ? host_decompress(decompress_->value.get(), compressed.get()) : Ref();
        if (!inflated_) return {};
        if (!PyBytes_Check(inflated_.get())) return {false, false, {}};
        return {false,
                true,
                {reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(inflated_.get())),
                 static_cast<size_t>(PyBytes_GET_SIZE(inflated_.get()))}};
    }
    uint8_t* filters(size_t height) {
        filter_types = new_bytearray(height);
        return filter_types ? reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(filter_types.get())) : nullptr;
    }

    Ref chunks = Ref::steal(PyList_New(0));
    Ref scanlines, filter_types;
    Ref take_alpha() { return std::move(alpha_); }

private:
    Source& source_;
    ImageData idat_;
    Py_ssize_t length_ = 0;
    std::optional<ZlibFunction> decompress_;
    Ref alpha_, inflated_;
};

}  // namespace

std::optional<Decoded> load_png(Source& source) {
    Ref signature = source.read(8);
    const auto expected_signature = signature ? look_up(Hook::PNG_SIGNATURE) : std::nullopt;
    if (!expected_signature) return std::nullopt;
    const int same = PyObject_RichCompareBool(signature.get(), expected_signature->value.get(), Py_EQ);
    if (same < 0) return std::nullopt;
    if (!same) return raise(png::Error::BadSignature), std::nullopt;

    ModuleHost host(source);
    Header header;
    if (!host.ready() || !png::decode(host, header)) return std::nullopt;
    // The RGB bytes were packed at the front of the scanline buffer: it becomes the pixel buffer.
    const auto width = static_cast<size_t>(header.width), height = static_cast<size_t>(header.height);
    if (!compat::shrink_fresh_bytearray(host.scanlines.get(), static_cast<Py_ssize_t>(width * height * 3)))
        return std::nullopt;
    return Decoded{.width = header.width,
                   .height = header.height,
                   .pixels = std::move(host.scanlines),
                   .alpha = host.take_alpha(),
                   .png_chunks = std::move(host.chunks),
                   .bmp_header = Ref::borrow(Py_None),
                   .png_filters = std::move(host.filter_types),
                   .channels = png::channels_of(header)};
}

}  // namespace vextaro
