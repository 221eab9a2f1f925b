#include "core/png_decoder.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
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
#include "png/header.hpp"
#include "png/huge_pages.hpp"
#include "png/inflate.hpp"
#include "png/checked_vector.hpp"
#include "png/payloads.hpp"
#include "png/unfilter.hpp"

namespace vextaro {

namespace {

using png::Header;

bool read_header(PyObject* data, Header& h) {
    const auto struct_module = look_up(Hook::struct_);
    if (!struct_module) return false;
    Ref format = Ref::steal(PyUnicode_FromString(">IIBBBBB"));
    if (!format) return false;
    Ref values = Ref::steal(
        PyObject_CallMethodObjArgs(struct_module->value.get(), names.unpack, format.get(), data, nullptr));
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
    const auto refusal = png::header_refusal(h);
    return !refusal || raise(*refusal);
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

// The chunk loop: every chunk into `chunks`, the IDAT payloads into `idat`.
bool read_chunks(Source& source, PyObject* chunks, ImageData& idat, Header& header) {
    for (;;) {
        auto chunk = next_chunk(source);
        if (!chunk) return false;
        PyObject* type = chunk->type.get();
        int r = chunk_type_is(type, "");
        if (r != 0) return r > 0;
        const int is_idat = chunk_type_is(type, "IDAT");
        if (is_idat < 0) return false;
        Py_ssize_t length;
        if (is_idat) {
            // Image data read from memory stays a view: no copy is made of it.
            length = static_cast<Py_ssize_t>(chunk->view.size());
            if (chunk->data) {
                if ((length = PyObject_Length(chunk->data.get())) < 0) return false;
                if (PyList_Append(idat.objects.get(), chunk->data.get()) < 0) return false;
                idat.all_bytes = idat.all_bytes && PyBytes_CheckExact(chunk->data.get());
                if (!idat.owners.push_back(std::move(chunk->data))) return PyErr_NoMemory(), false;
            }
            if (!idat.views.push_back(chunk->view)) return PyErr_NoMemory(), false;
        } else {
            PyObject* data = chunk->data_object();
            if (data == nullptr || (length = PyObject_Length(data)) < 0) return false;
            const int is_ihdr = chunk_type_is(type, "IHDR");
            if (is_ihdr < 0 || (is_ihdr && !read_header(data, header))) return false;
        }
        Ref entry = Ref::steal(Py_BuildValue("(OOn)", type, is_idat ? Py_None : chunk->data.get(), length));
        if (!entry || PyList_Append(chunks, entry.get()) < 0) return false;
        r = chunk_type_is(type, "IEND");
        if (r != 0) return r > 0;
    }
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
    std::unique_ptr<uint8_t[]> storage;
    const auto joined = png::join(idat.views, storage);
    if (!joined) return Ref::steal(PyErr_NoMemory());
    return new_bytes(joined->data(), joined->size());
}

// The decoded planes before reconstruction: the scanlines, inflated, and the
// alpha buffer (None for RGB), still to be filled.
struct Inflated {
    Ref scanlines;
    Ref alpha;
};

std::span<uint8_t> bytearray_span(PyObject* bytearray) {
    return {reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(bytearray)),
            static_cast<size_t>(PyByteArray_GET_SIZE(bytearray))};
}

// Inflates the joined IDAT payloads into a new bytearray of exactly `expected`
// bytes, with the outcome the module's zlib.decompress would give.
Inflated inflate_scanlines(ImageData& idat, std::optional<uint64_t> expected, std::optional<uint64_t> alpha_size) {
    const auto decompress = zlib_function(names.decompress, "decompress");
    if (!decompress) return {};
    // Inflating here, the module raises what the host's decompress would: its zlib's error.
    PyObject* zlib = original(Hook::zlib);
    if (!decompress->host || !idat.all_bytes) {
        Ref joined = joined_object(idat);
        Ref inflated = joined ? host_decompress(decompress->value.get(), joined.get()) : Ref();
        if (!inflated) return {};
        const Py_ssize_t length = PyObject_Length(inflated.get());
        if (length < 0) return {};
        if (!expected || uint64_t(length) != *expected) return {raise(png::Error::Malformed), {}};
        Ref out = Ref::steal(PyByteArray_FromObject(inflated.get()));
        if (out && uint64_t(PyByteArray_GET_SIZE(out.get())) != *expected)
            return {raise(png::Error::Malformed), {}};
        return {std::move(out), alpha_size ? new_bytearray(*alpha_size) : Ref::borrow(Py_None)};
    }

    std::unique_ptr<uint8_t[]> storage;
    const auto plan = png::plan_inflation(png::total_size(idat.views), expected);
    if (plan != png::InflatePlan::Inflate) {
        const auto joined = png::join(idat.views, storage);
        if (!joined) return {Ref::steal(PyErr_NoMemory()), {}};
        if (plan == png::InflatePlan::JudgeOnly) idat.release_objects();
        const uint64_t length = plan == png::InflatePlan::JudgeOnly ? UINT64_MAX : *expected;
        const auto verdict = without_gil([&] { return png::judge_with_zlib(*joined, length); });
        if (verdict.kind == png::InflateResult::Kind::Invalid || verdict.kind == png::InflateResult::Kind::OutOfMemory)
            return {Ref::steal(raise_zlib_error(zlib, verdict)), {}};
        if (plan == png::InflatePlan::JudgeOnly || verdict.kind == png::InflateResult::Kind::OtherLength)
            return {raise(png::Error::Malformed), {}};
        storage.reset();  // joined again below, into the alpha buffer when it fits
    }
    // The alpha buffer is filled only after inflation, so until then it holds
    // the joined payloads, grown for them if need be and cut back after: a third
    // buffer would add to the peak. Without alpha they go to the thread's
    // working buffer.
    const uint64_t compressed = png::total_size(idat.views);
    const bool join_in_alpha = alpha_size && idat.views.size() > 1;
    Inflated planes{new_bytearray(*expected),
                    alpha_size ? new_bytearray(join_in_alpha ? std::max(*alpha_size, compressed) : *alpha_size)
                               : Ref::borrow(Py_None)};
    if (!planes.scanlines || !planes.alpha) return {};
    png::prefer_huge_pages(bytearray_span(planes.scanlines.get()));
    std::optional<WorkingBuffer> working;
    if (!alpha_size && idat.views.size() > 1) working.emplace(compressed, this_threads_kept_buffer());
    const auto joined_or_none = working && working->failed() ? std::nullopt
                                : png::join(idat.views, storage,
                                            working      ? working->bytes()
                                            : alpha_size ? bytearray_span(planes.alpha.get())
                                                         : std::span<uint8_t>());
    if (!joined_or_none) return {Ref::steal(PyErr_NoMemory()), {}};
    const std::span<const uint8_t> joined = *joined_or_none;
    auto inflated_planes = [&]() -> Inflated {
        if (join_in_alpha && !compat::shrink_fresh_bytearray(planes.alpha.get(), static_cast<Py_ssize_t>(*alpha_size)))
            return {};
        return std::move(planes);
    };
    idat.release_objects();
    const std::span<uint8_t> target = bytearray_span(planes.scanlines.get());
    const auto r = without_gil([&] { return png::inflate_exact(joined, target); });
    switch (r.kind) {
        case png::InflateResult::Kind::Exact:
            return inflated_planes();
        case png::InflateResult::Kind::OtherLength:
            return {raise(png::Error::Malformed), {}};
        case png::InflateResult::Kind::Invalid:
        case png::InflateResult::Kind::OutOfMemory:
            return {Ref::steal(raise_zlib_error(zlib, r)), {}};
        case png::InflateResult::Kind::Unsure:
            break;
    }
    // The two inflaters disagree about a stream: the host's zlib has the last word.
    Ref compressed_object = new_bytes(joined.data(), joined.size());
    Ref inflated = compressed_object ? host_decompress(decompress->value.get(), compressed_object.get()) : Ref();
    if (!inflated) return {};
    if (!PyBytes_Check(inflated.get()) || uint64_t(PyBytes_GET_SIZE(inflated.get())) != *expected)
        return {raise(png::Error::Malformed), {}};
    std::memcpy(target.data(), PyBytes_AS_STRING(inflated.get()), target.size());
    return inflated_planes();
}

}  // namespace

std::optional<Decoded> load_png(Source& source) {
    Ref signature = source.read(8);
    const auto expected_signature = signature ? look_up(Hook::PNG_SIGNATURE) : std::nullopt;
    if (!expected_signature) return std::nullopt;
    const int same = PyObject_RichCompareBool(signature.get(), expected_signature->value.get(), Py_EQ);
    if (same < 0) return std::nullopt;
    if (!same) return raise(png::Error::BadSignature), std::nullopt;

    Ref chunks = Ref::steal(PyList_New(0));
    ImageData idat;
    Header header;
    if (!chunks || !idat.objects || !read_chunks(source, chunks.get(), idat, header) || !check_header(header))
        return std::nullopt;

    const int channels = png::channels_of(header);
    const auto expected = png::scanline_bytes(header, uint64_t(PY_SSIZE_T_MAX));
    // Both dimensions are non-negative wherever the expected length exists.
    std::optional<uint64_t> alpha_size;
    if (channels == 4 && expected) alpha_size = uint64_t(header.width) * uint64_t(header.height);
    Inflated planes = inflate_scanlines(idat, expected, alpha_size);
    if (!planes.scanlines || !planes.alpha) return std::nullopt;
    Ref& scanlines = planes.scanlines;
    Ref& alpha = planes.alpha;

    // The length check passed, so both dimensions are non-negative and their products fit.
    const auto width = static_cast<size_t>(header.width), height = static_cast<size_t>(header.height);
    Ref filters = new_bytearray(height);
    if (!filters) return std::nullopt;
    std::span<uint8_t> lines(reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(scanlines.get())), *expected);
    auto* alpha_bytes = channels == 4 ? reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(alpha.get())) : nullptr;
    auto* filter_bytes = reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(filters.get()));
    const auto bad = without_gil([&] { return png::reconstruct_image(lines, width, height, channels, filter_bytes, alpha_bytes); });
    if (bad) return raise_bad_filter(bad->filter), std::nullopt;
    // The RGB bytes were packed at the front of the scanline buffer: it becomes the pixel buffer.
    if (!compat::shrink_fresh_bytearray(scanlines.get(), static_cast<Py_ssize_t>(width * height * 3)))
        return std::nullopt;
    return Decoded{.width = header.width, .height = header.height, .pixels = std::move(scanlines),
                   .alpha = std::move(alpha), .png_chunks = std::move(chunks), .bmp_header = Ref::borrow(Py_None),
                   .png_filters = std::move(filters), .channels = channels};
}

}  // namespace vextaro
