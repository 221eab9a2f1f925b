#include "core/png_writer.hpp"

#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <vector>

#include "binding/args.hpp"
#include "binding/buffer.hpp"
#include "binding/compat.hpp"
#include "binding/gil.hpp"
#include "binding/namespace.hpp"
#include "core/chunks.hpp"
#include "core/errors.hpp"
#include "core/geometry.hpp"
#include "core/hooks.hpp"
#include "core/lengths.hpp"
#include "core/writing.hpp"
#include "png/deflate.hpp"
#include "png/filter.hpp"
#include "png/huge_pages.hpp"

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
    return call_method(struct_module->value.get(), names.pack, "siiiiiii", ">IIBBBBB", width, height, 8, alpha ? 6 : 2, 0,
                       0, 0);
}

// Whether the host's zlib runs on the zlib library linked here, learnt at
// import: only then does compressing here make the very bytes its compress
// would.
bool g_host_zlib_is_ours = false;

// Whether `compress` is the host's own zlib.compress on the zlib library linked
// here: then compressing here makes its very bytes, without handing it a copy
// of the scanlines (PyPy copies C memory it is handed).
bool compresses_as_here(PyObject* compress) {
    return g_host_zlib_is_ours && is_host_zlib_function(compress, "compress");
}

// The module's zlib.compress(scanlines), the bytes exactly what the host's zlib makes.
Ref compressed(std::span<const uint8_t> scanlines) {
    const auto zlib = look_up(Hook::zlib);
    Ref compress = zlib ? Ref::steal(PyObject_GetAttr(zlib->value.get(), names.compress)) : Ref();
    if (!compress) return {};
    if (!compresses_as_here(compress.get())) {
        Ref raw = new_bytearray(scanlines.size());
        if (!raw) return {};
        if (!scanlines.empty()) std::memcpy(PyByteArray_AS_STRING(raw.get()), scanlines.data(), scanlines.size());
        return Ref::steal(PyObject_CallOneArg(compress.get(), raw.get()));
    }
    const auto deflated = without_gil([&] { return png::deflate_default(scanlines); });
    if (!deflated) return Ref::steal(PyErr_NoMemory());
    return new_bytes(deflated->bytes.get(), deflated->size);
}

enum class WriteArg { path, width, height, pixels, alpha, filter_types, count };
enum class ChunksArg { path, width, height, pixels, alpha, chunks, filter_types, count };
enum class SplitArg { data, lengths, count };

struct Encoded {
    Ref ihdr;
    Ref compressed;
};

// Everything that comes before the file is opened: the checks, the IHDR, the
// scanline encoding and the compression.
std::optional<Encoded> encode_png(int32_t width, int32_t height, PyObject* pixels, PyObject* alpha,
                                  PyObject* filter_types) {
    const auto pixel_length = raster_length(width, height, 3);
    const auto plane_length = raster_length(width, height, 1);
    const bool has_alpha = alpha != Py_None;
    if (!length_is(pixels, pixel_length, kPixelLength)) return std::nullopt;
    if (has_alpha && !length_is(alpha, plane_length, kAlphaLength)) return std::nullopt;
    Encoded out{fresh_ihdr(width, height, has_alpha), {}};
    if (!out.ihdr || !dimensions_packed(width, height)) return std::nullopt;
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
    std::unique_ptr<uint8_t[]> raw(new (std::nothrow) uint8_t[scanline_length]);
    if (!raw) {
        PyErr_NoMemory();
        return std::nullopt;
    }
    const std::span<uint8_t> lines(raw.get(), scanline_length);
    png::prefer_huge_pages(lines);
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
                                           filter_bytes ? filter_bytes->bytes().data() : nullptr, lines.data());
    if (bad) {
        raise_bad_filter(bad->filter);
        return std::nullopt;
    }
    out.compressed = compressed(lines);
    if (!out.compressed) return std::nullopt;
    return out;
}

Ref bytes_constant(const char* text) { return Ref::steal(PyBytes_FromString(text)); }

// An object's bytes as they are now; bytes themselves are kept, being immutable.
Ref bytes_snapshot(PyObject* o) {
    if (PyBytes_CheckExact(o)) return Ref::borrow(o);
    auto view = ByteBuffer::readable(o);
    return view ? new_bytes(view->bytes().data(), view->bytes().size()) : Ref();
}

// The module's PNG_SIGNATURE, as the bytes that will be written.
Ref signature_bytes() {
    const auto signature = look_up(Hook::PNG_SIGNATURE);
    return signature ? bytes_snapshot(signature->value.get()) : Ref();
}

// A chunk built by the module's _makeChunk, as the bytes that will be written.
Ref made_chunk(const char* type, PyObject* data) {
    const auto make = look_up(Hook::_makeChunk);
    Ref chunk_type = make ? bytes_constant(type) : Ref();
    if (!chunk_type) return {};
    PyObject* args[] = {chunk_type.get(), data};
    Ref chunk = call_bound(*make, kMakeChunkSpec, args);
    return chunk ? bytes_snapshot(chunk.get()) : Ref();
}

// The four pieces of a chunk's frame, made before the file is opened so that
// a chunk that cannot be written fails while the file is still untouched.
struct Frame {
    Ref length, type, data, crc;
};

// Frames what will be written: the bytes of `type` and `data` as they are now,
// the length field counting those bytes (len() of a buffer of wider items
// counts items) and the CRC over them.
std::optional<Frame> frame_chunk(PyObject* type, PyObject* data) {
    if (PyObject_Length(data) < 0) return std::nullopt;
    Frame f;
    f.type = bytes_snapshot(type);
    f.data = f.type ? bytes_snapshot(data) : Ref();
    if (!f.data) return std::nullopt;
    f.length = big_endian_field(static_cast<uint64_t>(PyBytes_GET_SIZE(f.data.get())));
    const auto crc = f.length ? chunk_crc_of(f.type.get(), f.data.get()) : std::nullopt;
    if (!crc) return std::nullopt;
    f.crc = big_endian_field(*crc);
    if (!f.crc) return std::nullopt;
    return f;
}

// In four writes: length, type, data, CRC.
bool write_frame(PyObject* file, const Frame& f) {
    return write_to(file, f.length.get()) && write_to(file, f.type.get()) && write_to(file, f.data.get()) &&
           write_to(file, f.crc.get());
}

PyObject* write_png(const BoundArgs& a) {
    auto encoded = encode_png(a.int32(WriteArg::width), a.int32(WriteArg::height), a[WriteArg::pixels],
                              a[WriteArg::alpha], a[WriteArg::filter_types]);
    if (!encoded) return nullptr;
    // Every piece is made before the file is opened, so that none can fail after it.
    Ref empty = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    Ref pieces[] = {empty ? signature_bytes() : Ref(), Ref(), Ref(), Ref()};
    if (!pieces[0] || !(pieces[1] = made_chunk("IHDR", encoded->ihdr.get())) ||
        !(pieces[2] = made_chunk("IDAT", encoded->compressed.get())) || !(pieces[3] = made_chunk("IEND", empty.get())))
        return nullptr;
    const bool ok = write_file(a[WriteArg::path], [&](PyObject* file) {
        for (const Ref& piece : pieces) {
            if (!write_to(file, piece.get())) return false;
        }
        return true;
    });
    if (!ok) return nullptr;
    Py_RETURN_NONE;
}

struct Entry {
    Ref type, data, length;
    bool idat = false, ihdr = false;
};

struct Entries {
    std::vector<Entry> list;
    Ref idat_lengths;
    bool has_ihdr = false;
};

std::optional<Entries> read_entries(PyObject* chunks) {
    Entries e;
    e.idat_lengths = Ref::steal(PyList_New(0));
    Ref it = e.idat_lengths ? Ref::steal(PyObject_GetIter(chunks)) : Ref();
    if (!it) return std::nullopt;
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        Ref fields[3];
        if (!unpack_exactly(item.get(), fields, 3)) return std::nullopt;
        Entry entry{std::move(fields[0]), std::move(fields[1]), std::move(fields[2])};
        const int idat = chunk_type_is(entry.type.get(), "IDAT");
        const int ihdr = idat == 0 ? chunk_type_is(entry.type.get(), "IHDR") : 0;
        if (idat < 0 || ihdr < 0) return std::nullopt;
        if (idat && PyList_Append(e.idat_lengths.get(), entry.length.get()) < 0) return std::nullopt;
        entry.idat = idat;
        entry.ihdr = ihdr;
        e.has_ihdr = e.has_ihdr || ihdr;
        e.list.push_back(std::move(entry));
    }
    if (PyErr_Occurred()) return std::nullopt;
    return e;
}

// The entry's data as written: None counts as empty, and an IHDR that does not
// describe the image being written is replaced by one that does.
Ref payload_of(const Entry& entry, PyObject* ihdr) {
    if (entry.ihdr) {
        const int same = PyObject_RichCompareBool(entry.data.get(), ihdr, Py_EQ);
        if (same < 0) return {};
        if (!same) return Ref::borrow(ihdr);
    }
    if (entry.data.get() == Py_None) return Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    return Ref::borrow(entry.data.get());
}

// The frames of the file after its signature, in order: every entry's chunk,
// the new image data at the place of the first IDAT (or after the last entry).
std::optional<std::vector<Frame>> plan_chunks(const Entries& entries, const Encoded& encoded, PyObject* parts) {
    Ref idat_type = bytes_constant("IDAT");
    if (!idat_type) return std::nullopt;
    std::vector<Frame> idat_group;
    Ref it = Ref::steal(PyObject_GetIter(parts));
    if (!it) return std::nullopt;
    while (Ref part = Ref::steal(PyIter_Next(it.get()))) {
        auto frame = frame_chunk(idat_type.get(), part.get());
        if (!frame) return std::nullopt;
        idat_group.push_back(std::move(*frame));
    }
    if (PyErr_Occurred()) return std::nullopt;

    std::vector<Frame> plan;
    if (!entries.has_ihdr) {
        // A list without an IHDR still makes a PNG with one, right after the signature.
        Ref ihdr_type = bytes_constant("IHDR");
        auto frame = ihdr_type ? frame_chunk(ihdr_type.get(), encoded.ihdr.get()) : std::nullopt;
        if (!frame) return std::nullopt;
        plan.push_back(std::move(*frame));
    }
    bool idat_placed = false;
    for (const Entry& entry : entries.list) {
        if (entry.idat) {
            // All new image data goes out at the place of the first IDAT.
            if (!idat_placed) std::move(idat_group.begin(), idat_group.end(), std::back_inserter(plan));
            idat_placed = true;
            continue;
        }
        Ref payload = payload_of(entry, encoded.ihdr.get());
        auto frame = payload ? frame_chunk(entry.type.get(), payload.get()) : std::nullopt;
        if (!frame) return std::nullopt;
        plan.push_back(std::move(*frame));
    }
    if (!idat_placed) std::move(idat_group.begin(), idat_group.end(), std::back_inserter(plan));
    return plan;
}

PyObject* write_png_with_chunks(const BoundArgs& a) {
    PyObject *path = a[ChunksArg::path], *pixels = a[ChunksArg::pixels], *alpha = a[ChunksArg::alpha],
             *chunks = a[ChunksArg::chunks], *filters = a[ChunksArg::filter_types];
    const int32_t width = a.int32(ChunksArg::width), height = a.int32(ChunksArg::height);
    const int has_chunks = PyObject_IsTrue(chunks);
    if (has_chunks < 0) return nullptr;
    if (!has_chunks) {
        const auto writer = look_up(Hook::_writePng);
        Ref w = writer ? Ref::steal(PyLong_FromLong(width)) : Ref();
        Ref h = w ? Ref::steal(PyLong_FromLong(height)) : Ref();
        if (!h) return nullptr;
        PyObject* args[] = {path, w.get(), h.get(), pixels, alpha, filters};
        if (!call_bound(*writer, kWritePngSpec, args)) return nullptr;
        Py_RETURN_NONE;
    }
    auto encoded = encode_png(width, height, pixels, alpha, filters);
    auto entries = encoded ? read_entries(chunks) : std::nullopt;
    if (!entries) return nullptr;
    PyObject* split_args[] = {encoded->compressed.get(), entries->idat_lengths.get()};
    Ref parts = call_hook(Hook::_split_idat_payload, kSplitIdatPayloadSpec, split_args);
    if (!parts) return nullptr;
    const int has_parts = PyObject_IsTrue(parts.get());
    if (has_parts < 0) return nullptr;
    if (!has_parts) {
        parts = Ref::steal(PyList_New(1));
        if (!parts) return nullptr;
        PyList_SET_ITEM(parts.get(), 0, compat::new_ref(encoded->compressed.get()));
    }
    const auto plan = plan_chunks(*entries, *encoded, parts.get());
    Ref signature = plan ? signature_bytes() : Ref();
    if (!signature) return nullptr;

    const bool ok = write_file(path, [&](PyObject* file) {
        if (!write_to(file, signature.get())) return false;
        for (const Frame& frame : *plan) {
            if (!write_frame(file, frame)) return false;
        }
        return true;
    });
    if (!ok) return nullptr;
    Py_RETURN_NONE;
}

// len() of the arguments, which the type test let through as bytes, list or None.
Py_ssize_t length_of(PyObject* o) {
    if (o == Py_None) {
        // Worded here because the hosts word it differently.
        PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
        return -1;
    }
    return PyObject_Length(o);
}

// Slices of `data` along the source's IDAT sizes, with the host's arithmetic
// on the sizes: each size is reproduced while the data lasts, the last one
// takes all that remains, and sizes of 0 or less make no part.
PyObject* split_idat_payload(const BoundArgs& a) {
    PyObject *data = a[SplitArg::data], *lengths = a[SplitArg::lengths];
    const Py_ssize_t total = length_of(data);
    if (total < 0) return nullptr;
    const Py_ssize_t count = length_of(lengths);
    if (count < 0) return nullptr;
    Ref parts = Ref::steal(PyList_New(0));
    Ref offset = Ref::steal(PyLong_FromLong(0));
    Ref end = Ref::steal(PyLong_FromSsize_t(total));
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!parts || !offset || !end || !zero) return nullptr;
    auto slice_from = [&](PyObject* start, PyObject* stop) {
        Ref range = Ref::steal(PySlice_New(start, stop, nullptr));
        Ref part = range ? Ref::steal(PyObject_GetItem(data, range.get())) : Ref();
        return part && PyList_Append(parts.get(), part.get()) == 0;
    };
    for (Py_ssize_t idx = 0; idx < count; ++idx) {
        Ref length = Ref::steal(PySequence_GetItem(lengths, idx));
        if (!length) return nullptr;
        int r = PyObject_RichCompareBool(offset.get(), end.get(), Py_GE);
        if (r != 0) {
            if (r < 0) return nullptr;
            break;
        }
        if ((r = PyObject_RichCompareBool(length.get(), zero.get(), Py_LE)) != 0) {
            if (r < 0) return nullptr;
            continue;
        }
        Ref remaining = Ref::steal(PyNumber_Subtract(end.get(), offset.get()));
        if (!remaining) return nullptr;
        Ref take;
        if (idx == count - 1) {
            take = std::move(remaining);
        } else {
            // min(length, remaining): the first of the two unless the second is smaller.
            if ((r = PyObject_RichCompareBool(remaining.get(), length.get(), Py_LT)) < 0) return nullptr;
            take = r ? std::move(remaining) : std::move(length);
        }
        if ((r = PyObject_RichCompareBool(take.get(), zero.get(), Py_LE)) != 0) {
            if (r < 0) return nullptr;
            continue;
        }
        Ref stop = Ref::steal(PyNumber_Add(offset.get(), take.get()));
        if (!stop || !slice_from(offset.get(), stop.get())) return nullptr;
        offset = std::move(stop);
    }
    const int rest = PyObject_RichCompareBool(offset.get(), end.get(), Py_LT);
    if (rest < 0 || (rest && !slice_from(offset.get(), nullptr))) return nullptr;
    return parts.release();
}

constexpr Param kWritePngParams[] = {
    {"path"}, {"width", Check::Int32}, {"height", Check::Int32}, {"pixels"}, {"alpha"}, {"filter_types"},
};
constexpr Param kSplitParams[] = {
    {"data", Check::ExactOrNone, &PyBytes_Type},
    {"lengths", Check::ExactOrNone, &PyList_Type},
};
constexpr Param kWriteWithChunksParams[] = {
    {"path"}, {"width", Check::Int32}, {"height", Check::Int32}, {"pixels"}, {"alpha"}, {"chunks"}, {"filter_types"},
};
static_assert(named_as<WriteArg>(kWritePngParams));
static_assert(named_as<SplitArg>(kSplitParams));
static_assert(named_as<ChunksArg>(kWriteWithChunksParams));

}  // namespace

bool learn_host_zlib(PyObject* zlib) {
    Ref version = Ref::steal(PyObject_GetAttrString(zlib, "ZLIB_RUNTIME_VERSION"));
    if (!version) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    const char* text = PyUnicode_Check(version.get()) ? PyUnicode_AsUTF8(version.get()) : nullptr;
    if (text == nullptr) PyErr_Clear();
    g_host_zlib_is_ours = text != nullptr && std::strcmp(text, png::zlib_runtime_version()) == 0;
    return true;
}

const FunctionSpec kWritePngSpec = {
    .name = "_writePng",
    .qualname = "_writePng",
    .kind = Kind::Function,
    .params = kWritePngParams,
    .defaults = 2,
    .returns = "None",
    .body = write_png,
};
const FunctionSpec kSplitIdatPayloadSpec = {
    .name = "_split_idat_payload",
    .qualname = "_split_idat_payload",
    .kind = Kind::Function,
    .params = kSplitParams,
    .defaults = 0,
    .returns = nullptr,
    .body = split_idat_payload,
};
const FunctionSpec kWritePngWithChunksSpec = {
    .name = "_writePngWithChunks",
    .qualname = "_writePngWithChunks",
    .kind = Kind::Function,
    .params = kWriteWithChunksParams,
    .defaults = 1,
    .returns = nullptr,
    .body = write_png_with_chunks,
};

}  // namespace vextaro
