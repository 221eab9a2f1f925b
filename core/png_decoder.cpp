#include "core/png_decoder.hpp"

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>

#include "binding/args.hpp"
#include "binding/compat.hpp"
#include "binding/gil.hpp"
#include "binding/namespace.hpp"
#include "binding/stream.hpp"
#include "core/chunks.hpp"
#include "png/header.hpp"
#include "png/inflate.hpp"
#include "png/unfilter.hpp"

namespace vextaro {

namespace {

PyObject* fail(const char* message) {
    PyErr_SetString(PyExc_ValueError, message);
    return nullptr;
}

using png::Header;

bool read_header(PyObject* data, Header& h) {
    Ref struct_module = module_global(names.struct_);
    if (!struct_module) return false;
    Ref format = Ref::steal(PyUnicode_FromString(">IIBBBBB"));
    if (!format) return false;
    Ref values = Ref::steal(PyObject_CallMethodObjArgs(struct_module.get(), names.unpack, format.get(), data, nullptr));
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

bool check_header(const Header& h) {
    const char* refusal = png::header_refusal(h);
    return refusal == nullptr || fail(refusal);
}

// The chunk loop: every chunk into `chunks`, the IDAT payloads into `idat`.
bool read_chunks(PyObject* stream, PyObject* chunks, PyObject* idat, Header& header) {
    for (;;) {
        Ref reader = module_global(names._readChunk);
        if (!reader) return false;
        Ref type, data;
        if (reader.get() == originals.read_chunk) {
            auto chunk = read_chunk(stream);
            if (!chunk) return false;
            type = std::move(chunk->first);
            data = std::move(chunk->second);
        } else {
            Ref result = Ref::steal(PyObject_CallOneArg(reader.get(), stream));
            Ref items[2];
            if (!result || !unpack_exactly(result.get(), items, 2)) return false;
            type = std::move(items[0]);
            data = std::move(items[1]);
        }
        int r = chunk_type_is(type.get(), "");
        if (r != 0) return r > 0;
        const int is_ihdr = chunk_type_is(type.get(), "IHDR");
        if (is_ihdr < 0 || (is_ihdr && !read_header(data.get(), header))) return false;
        const int is_idat = chunk_type_is(type.get(), "IDAT");
        if (is_idat < 0) return false;
        const Py_ssize_t length = PyObject_Length(data.get());
        if (length < 0) return false;
        if (is_idat && PyList_Append(idat, data.get()) < 0) return false;
        Ref entry = Ref::steal(Py_BuildValue("(OOn)", type.get(), is_idat ? Py_None : data.get(), length));
        if (!entry || PyList_Append(chunks, entry.get()) < 0) return false;
        r = chunk_type_is(type.get(), "IEND");
        if (r != 0) return r > 0;
    }
}

PyObject* raise_zlib_error(PyObject* zlib, const png::InflateResult& r) {
    Ref error = Ref::steal(PyObject_GetAttr(zlib, names.error));
    if (!error) return nullptr;
    if (r.message.empty()) {
        PyErr_Format(error.get(), "Error %d while decompressing data", r.code);
    } else {
        PyErr_Format(error.get(), "Error %d while decompressing data: %.200s", r.code, r.message.c_str());
    }
    return nullptr;
}

Ref host_decompress(PyObject* zlib, PyObject* compressed) {
    return Ref::steal(PyObject_CallMethodObjArgs(zlib, names.decompress, compressed, nullptr));
}

// The IDAT payloads joined into one contiguous buffer.
struct Joined {
    std::unique_ptr<uint8_t[]> storage;
    std::span<const uint8_t> bytes;
    Ref single;  // the one IDAT's bytes object when there is only one
};

Joined join_native(PyObject* idat) {
    Joined j;
    const Py_ssize_t n = PyList_GET_SIZE(idat);
    if (n == 1) {
        j.single = Ref::borrow(PyList_GET_ITEM(idat, 0));
        j.bytes = {reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(j.single.get())),
                   static_cast<size_t>(PyBytes_GET_SIZE(j.single.get()))};
        return j;
    }
    size_t total = 0;
    for (Py_ssize_t i = 0; i < n; ++i) total += PyBytes_GET_SIZE(PyList_GET_ITEM(idat, i));
    j.storage = std::make_unique_for_overwrite<uint8_t[]>(total);
    size_t at = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* piece = PyList_GET_ITEM(idat, i);
        std::memcpy(j.storage.get() + at, PyBytes_AS_STRING(piece), PyBytes_GET_SIZE(piece));
        at += PyBytes_GET_SIZE(piece);
    }
    j.bytes = {j.storage.get(), total};
    return j;
}

bool all_exact_bytes(PyObject* list) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        if (!PyBytes_CheckExact(PyList_GET_ITEM(list, i))) return false;
    }
    return true;
}

// Inflates the joined IDAT payloads into a new bytearray of exactly `expected`
// bytes, with the outcome the module's zlib.decompress would give.
Ref inflate_scanlines(PyObject* idat, std::optional<uint64_t> expected) {
    Ref zlib = module_global(names.zlib);
    if (!zlib) return {};
    if (zlib.get() != originals.zlib || !all_exact_bytes(idat)) {
        Ref empty = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
        Ref joined = empty ? Ref::steal(PyObject_CallMethodObjArgs(empty.get(), names.join, idat, nullptr)) : Ref();
        Ref inflated = joined ? host_decompress(zlib.get(), joined.get()) : Ref();
        if (!inflated) return {};
        const Py_ssize_t length = PyObject_Length(inflated.get());
        if (length < 0) return {};
        if (!expected || uint64_t(length) != *expected) return Ref::steal(fail("Malformed PNG image data"));
        Ref out = Ref::steal(PyByteArray_FromObject(inflated.get()));
        if (out && uint64_t(PyByteArray_GET_SIZE(out.get())) != *expected) return Ref::steal(fail("Malformed PNG image data"));
        return out;
    }

    Joined joined = join_native(idat);
    // The payloads are in `joined` now; let them go before the large allocation.
    if (PyList_SetSlice(idat, 0, PyList_GET_SIZE(idat), nullptr) < 0) return {};
    // A length no stream of this size can inflate to is never allocated: zlib
    // only has to say whether it accepts the stream.
    if (!expected || *expected > png::max_inflated_size(joined.bytes.size())) {
        const auto verdict = without_gil([&] { return png::judge_with_zlib(joined.bytes, UINT64_MAX); });
        if (verdict.kind == png::InflateResult::Kind::Invalid) return Ref::steal(raise_zlib_error(zlib.get(), verdict));
        return Ref::steal(fail("Malformed PNG image data"));
    }
    Ref out = Ref::steal(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(*expected)));
    if (!out) return out;
    std::span<uint8_t> target(reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(out.get())), *expected);
    const auto r = without_gil([&] { return png::inflate_exact(joined.bytes, target); });
    switch (r.kind) {
        case png::InflateResult::Kind::Exact:
            return out;
        case png::InflateResult::Kind::OtherLength:
            return Ref::steal(fail("Malformed PNG image data"));
        case png::InflateResult::Kind::Invalid:
            return Ref::steal(raise_zlib_error(zlib.get(), r));
        case png::InflateResult::Kind::Unsure:
            break;
    }
    // The two inflaters disagree about a stream: the host's zlib has the last word.
    Ref compressed = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(joined.bytes.data()),
                                                          static_cast<Py_ssize_t>(joined.bytes.size())));
    Ref inflated = compressed ? host_decompress(zlib.get(), compressed.get()) : Ref();
    if (!inflated) return {};
    if (!PyBytes_Check(inflated.get()) || uint64_t(PyBytes_GET_SIZE(inflated.get())) != *expected)
        return Ref::steal(fail("Malformed PNG image data"));
    std::memcpy(target.data(), PyBytes_AS_STRING(inflated.get()), target.size());
    return out;
}

}  // namespace

Ref load_png(PyObject* stream) {
    Ref signature = read_bytes(stream, 8);
    Ref expected_signature = signature ? module_global(names.PNG_SIGNATURE) : Ref();
    if (!expected_signature) return {};
    const int same = PyObject_RichCompareBool(signature.get(), expected_signature.get(), Py_EQ);
    if (same < 0) return {};
    if (!same) return Ref::steal(fail("Unsupported PNG signature"));

    Ref chunks = Ref::steal(PyList_New(0));
    Ref idat = Ref::steal(PyList_New(0));
    Header header;
    if (!chunks || !idat || !read_chunks(stream, chunks.get(), idat.get(), header) || !check_header(header))
        return {};

    const int channels = png::channels_of(header);
    const auto expected = png::scanline_bytes(header, uint64_t(PY_SSIZE_T_MAX));
    Ref scanlines = inflate_scanlines(idat.get(), expected);
    if (!scanlines) return {};

    // The length check passed, so both dimensions are non-negative and their products fit.
    const auto width = static_cast<size_t>(header.width), height = static_cast<size_t>(header.height);
    Ref filters = Ref::steal(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(height)));
    Ref alpha = channels == 4 ? Ref::steal(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(width * height)))
                              : Ref::borrow(Py_None);
    if (!filters || !alpha) return {};
    std::span<uint8_t> lines(reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(scanlines.get())), *expected);
    auto* alpha_bytes = channels == 4 ? reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(alpha.get())) : nullptr;
    auto* filter_bytes = reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(filters.get()));
    const auto bad = without_gil([&] { return png::reconstruct_image(lines, width, height, channels, filter_bytes, alpha_bytes); });
    if (bad) {
        PyErr_Format(PyExc_ValueError, "Unsupported PNG filter: %d", int(bad->filter));
        return {};
    }
    // The RGB bytes were packed at the front of the scanline buffer: it becomes the pixel buffer.
    if (PyByteArray_Resize(scanlines.get(), static_cast<Py_ssize_t>(width * height * 3)) < 0) return {};
    return Ref::steal(Py_BuildValue("(iiOiOOOO)", header.width, header.height, scanlines.get(), channels,
                                    alpha.get(), chunks.get(), Py_None, filters.get()));
}

}  // namespace vextaro
