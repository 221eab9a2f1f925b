#include "core/png_writer.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "binding/args.hpp"
#include "binding/buffer.hpp"
#include "binding/compat.hpp"
#include "binding/gil.hpp"
#include "binding/namespace.hpp"
#include "core/chunks.hpp"
#include "core/geometry.hpp"
#include "core/writing.hpp"
#include "png/filter.hpp"

namespace vextaro {

namespace {

std::nullopt_t refuse(const char* message) {
    PyErr_SetString(PyExc_ValueError, message);
    return std::nullopt;
}

constexpr const char* kPixelLength = "Pixel data length does not match image dimensions";
constexpr const char* kAlphaLength = "Alpha channel length does not match image dimensions";
constexpr const char* kFilterCount = "PNG filter count does not match image height";

// len(o) == expected, raising `message` otherwise.
bool length_is(PyObject* o, std::optional<int64_t> expected, const char* message) {
    const Py_ssize_t given = PyObject_Length(o);
    if (given < 0) return false;
    if (!expected || given != *expected) {
        refuse(message);
        return false;
    }
    return true;
}

// The IHDR data an image of this size and kind has, packed by the module's struct.
Ref fresh_ihdr(int32_t width, int32_t height, bool alpha) {
    Ref struct_module = module_global(names.struct_);
    if (!struct_module) return {};
    return Ref::steal(PyObject_CallMethod(struct_module.get(), "pack", "siiiiiii", ">IIBBBBB", width, height, 8,
                                          alpha ? 6 : 2, 0, 0, 0));
}

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
    if (!out.ihdr) return std::nullopt;
    // Negative dimensions cannot be packed, so from here on both are >= 0.
    Ref pixel_buffer = pixel_bytearray(pixels, pixel_length);
    if (!pixel_buffer) return std::nullopt;

    // The encoder reads the buffers' bytes, which their len() need not count.
    std::optional<ByteBuffer> alpha_bytes, filter_bytes;
    if (has_alpha) {
        alpha_bytes = ByteBuffer::writable_bytes(alpha);
        if (!alpha_bytes) return std::nullopt;
        if (static_cast<int64_t>(alpha_bytes->bytes().size()) != *plane_length) return refuse(kAlphaLength);
    }
    if (filter_types != Py_None) {
        if (!length_is(filter_types, height, kFilterCount)) return std::nullopt;
        filter_bytes = ByteBuffer::writable_bytes(filter_types);
        if (!filter_bytes) return std::nullopt;
        if (static_cast<int64_t>(filter_bytes->bytes().size()) != height) return refuse(kFilterCount);
    }

    const int channels = has_alpha ? 4 : 3;
    const auto w = static_cast<uint64_t>(width), h = static_cast<uint64_t>(height);
    uint64_t scanline_length;
    if (__builtin_mul_overflow(w * channels + 1, h, &scanline_length) || scanline_length > uint64_t(PY_SSIZE_T_MAX)) {
        PyErr_NoMemory();
        return std::nullopt;
    }
    Ref raw = new_bytearray(scanline_length);
    auto pixel_bytes = raw ? ByteBuffer::readable(pixel_buffer.get()) : std::nullopt;
    if (!pixel_bytes) return std::nullopt;
    const uint8_t* alpha_data = has_alpha ? alpha_bytes->bytes().data() : nullptr;
    const uint8_t* filter_data = filter_bytes ? filter_bytes->bytes().data() : nullptr;
    auto* out_data = reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(raw.get()));
    // The pixel, alpha and filter buffers are exported while this runs, so they cannot be resized.
    const auto bad = without_gil([&] {
        return png::encode_scanlines(pixel_bytes->bytes().data(), alpha_data, w, h, channels, filter_data, out_data);
    });
    if (bad) {
        PyErr_Format(PyExc_ValueError, "Unsupported PNG filter: %d", int(bad->filter));
        return std::nullopt;
    }
    // The host's zlib compresses, so the bytes are exactly what its zlib makes.
    Ref zlib = module_global(names.zlib);
    if (!zlib) return std::nullopt;
    out.compressed = Ref::steal(PyObject_CallMethodObjArgs(zlib.get(), names.compress, raw.get(), nullptr));
    if (!out.compressed) return std::nullopt;
    return out;
}

Ref bytes_constant(const char* text) { return Ref::steal(PyBytes_FromString(text)); }

// A chunk built by the module's _makeChunk, in one write.
bool write_made_chunk(PyObject* file, const char* type, PyObject* data) {
    Ref make = module_global(names._makeChunk);
    Ref chunk_type = make ? bytes_constant(type) : Ref();
    Ref chunk = chunk_type ? Ref::steal(PyObject_CallFunctionObjArgs(make.get(), chunk_type.get(), data, nullptr)) : Ref();
    return chunk && write_to(file, chunk.get());
}

bool write_signature(PyObject* file) {
    Ref signature = module_global(names.PNG_SIGNATURE);
    return signature && write_to(file, signature.get());
}

// A chunk framed here, in four writes: length, type, data, CRC.
bool write_framed_chunk(PyObject* file, PyObject* type, PyObject* data) {
    const Py_ssize_t length = PyObject_Length(data);
    if (length < 0) return false;
    Ref length_field = big_endian_field(static_cast<uint64_t>(length));
    const auto crc = length_field ? chunk_crc_of(type, data) : std::nullopt;
    if (!crc) return false;
    Ref crc_field = big_endian_field(*crc);
    return crc_field && write_to(file, length_field.get()) && write_to(file, type) && write_to(file, data) &&
           write_to(file, crc_field.get());
}

bool write_parts(PyObject* file, PyObject* parts) {
    Ref idat = bytes_constant("IDAT");
    Ref it = idat ? Ref::steal(PyObject_GetIter(parts)) : Ref();
    if (!it) return false;
    while (Ref part = Ref::steal(PyIter_Next(it.get()))) {
        if (!write_framed_chunk(file, idat.get(), part.get())) return false;
    }
    return !PyErr_Occurred();
}

PyObject* write_png(const BoundArgs& a) {
    auto encoded = encode_png(a.i32[1], a.i32[2], a.obj[3], a.obj[4], a.obj[5]);
    if (!encoded) return nullptr;
    Ref empty = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    if (!empty) return nullptr;
    const bool ok = write_file(a.obj[0], [&](PyObject* file) {
        return write_signature(file) && write_made_chunk(file, "IHDR", encoded->ihdr.get()) &&
               write_made_chunk(file, "IDAT", encoded->compressed.get()) && write_made_chunk(file, "IEND", empty.get());
    });
    if (!ok) return nullptr;
    Py_RETURN_NONE;
}

using Entry = std::array<Ref, 3>;  // type, data, length

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
        Entry entry;
        if (!unpack_exactly(item.get(), entry.data(), 3)) return std::nullopt;
        const int idat = chunk_type_is(entry[0].get(), "IDAT");
        const int ihdr = idat == 0 ? chunk_type_is(entry[0].get(), "IHDR") : 0;
        if (idat < 0 || ihdr < 0) return std::nullopt;
        if (idat && PyList_Append(e.idat_lengths.get(), entry[2].get()) < 0) return std::nullopt;
        e.has_ihdr = e.has_ihdr || ihdr;
        e.list.push_back(std::move(entry));
    }
    if (PyErr_Occurred()) return std::nullopt;
    return e;
}

// The entry's data as written: None counts as empty, and an IHDR that does not
// describe the image being written is replaced by one that does.
Ref payload_of(const Entry& entry, PyObject* ihdr) {
    const int is_ihdr = chunk_type_is(entry[0].get(), "IHDR");
    if (is_ihdr < 0) return {};
    if (is_ihdr) {
        const int same = PyObject_RichCompareBool(entry[1].get(), ihdr, Py_EQ);
        if (same < 0) return {};
        if (!same) return Ref::borrow(ihdr);
    }
    if (entry[1].get() == Py_None) return Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    return Ref::borrow(entry[1].get());
}

PyObject* write_png_with_chunks(const BoundArgs& a) {
    PyObject *path = a.obj[0], *pixels = a.obj[3], *alpha = a.obj[4], *chunks = a.obj[5], *filters = a.obj[6];
    const int has_chunks = PyObject_IsTrue(chunks);
    if (has_chunks < 0) return nullptr;
    if (!has_chunks) {
        Ref writer = module_global(names._writePng);
        Ref result = writer ? Ref::steal(PyObject_CallFunction(writer.get(), "OiiOOO", path, a.i32[1], a.i32[2],
                                                               pixels, alpha, filters))
                            : Ref();
        if (!result) return nullptr;
        Py_RETURN_NONE;
    }
    auto encoded = encode_png(a.i32[1], a.i32[2], pixels, alpha, filters);
    auto entries = encoded ? read_entries(chunks) : std::nullopt;
    if (!entries) return nullptr;
    Ref split = module_global(names._split_idat_payload);
    Ref parts = split ? Ref::steal(PyObject_CallFunctionObjArgs(split.get(), encoded->compressed.get(),
                                                                entries->idat_lengths.get(), nullptr))
                      : Ref();
    if (!parts) return nullptr;
    const int has_parts = PyObject_IsTrue(parts.get());
    if (has_parts < 0) return nullptr;
    if (!has_parts) {
        parts = Ref::steal(PyList_New(1));
        if (parts) PyList_SET_ITEM(parts.get(), 0, compat::new_ref(encoded->compressed.get()));
    }
    Ref ihdr_type = parts ? bytes_constant("IHDR") : Ref();
    if (!ihdr_type) return nullptr;

    const bool ok = write_file(path, [&](PyObject* file) {
        if (!write_signature(file)) return false;
        // A list without an IHDR still makes a PNG with one, right after the signature.
        if (!entries->has_ihdr && !write_framed_chunk(file, ihdr_type.get(), encoded->ihdr.get())) return false;
        bool idat_written = false;
        for (const Entry& entry : entries->list) {
            const int idat = chunk_type_is(entry[0].get(), "IDAT");
            if (idat < 0) return false;
            if (idat) {
                // All new image data goes out at the place of the first IDAT.
                if (!idat_written && !write_parts(file, parts.get())) return false;
                idat_written = true;
                continue;
            }
            Ref payload = payload_of(entry, encoded->ihdr.get());
            if (!payload || !write_framed_chunk(file, entry[0].get(), payload.get())) return false;
        }
        return idat_written || write_parts(file, parts.get());
    });
    if (!ok) return nullptr;
    Py_RETURN_NONE;
}

// Slices of `data` along the source's IDAT sizes, with the host's arithmetic
// on the sizes: each size is reproduced while the data lasts, the last one
// takes all that remains, and sizes of 0 or less make no part.
// len() of the arguments, which the type test let through as bytes, list or None.
Py_ssize_t length_of(PyObject* o) {
    if (o == Py_None) {
        // Worded here because the hosts word it differently.
        PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
        return -1;
    }
    return PyObject_Length(o);
}

PyObject* split_idat_payload(const BoundArgs& a) {
    PyObject *data = a.obj[0], *lengths = a.obj[1];
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

const Param kWritePngParams[] = {
    {"path"}, {"width", Check::Int32}, {"height", Check::Int32}, {"pixels"}, {"alpha"}, {"filter_types"},
};
const Param kSplitParams[] = {
    {"data", Check::ExactOrNone, &PyBytes_Type},
    {"lengths", Check::ExactOrNone, &PyList_Type},
};
const Param kWriteWithChunksParams[] = {
    {"path"}, {"width", Check::Int32}, {"height", Check::Int32}, {"pixels"}, {"alpha"}, {"chunks"}, {"filter_types"},
};

}  // namespace

const FunctionSpec kWritePngSpec = {"_writePng", "_writePng", Kind::Function, kWritePngParams, 2, "None", write_png};
const FunctionSpec kSplitIdatPayloadSpec = {"_split_idat_payload", "_split_idat_payload", Kind::Function, kSplitParams,
                                            0, nullptr, split_idat_payload};
const FunctionSpec kWritePngWithChunksSpec = {"_writePngWithChunks", "_writePngWithChunks", Kind::Function,
                                              kWriteWithChunksParams, 1, nullptr, write_png_with_chunks};

}  // namespace vextaro
