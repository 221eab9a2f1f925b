#include "core/png_writer.hpp"

#include <cstdint>
#include <optional>
#include <span>

#include "binding/args.hpp"
#include "binding/buffer.hpp"
#include "binding/compat.hpp"
#include "core/chunks.hpp"
#include "core/hooks.hpp"
#include "core/idat_split.hpp"
#include "core/png_encoder.hpp"
#include "core/writing.hpp"
#include "png/checked_vector.hpp"
#include "png/frame.hpp"

namespace vextaro {

namespace {

enum class WriteArg { path, width, height, pixels, alpha, filter_types, compress_level, count };
enum class ChunksArg { path, width, height, pixels, alpha, chunks, filter_types, compress_level, count };

template <typename Name>
std::optional<int32_t> level_of(const BoundArgs& a, Name n) {
    if (a[n] == Py_None) return std::nullopt;
    return a.int32(n);
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

// A chunk's frame as three pieces, png/frame.hpp's head, the data and its tail,
// made before the file is opened so that a chunk that cannot be written fails
// while the file is still untouched. The data is written as it is, never copied
// into one object with the rest.
struct ChunkPieces {
    Ref head, data, tail;
};

std::span<uint8_t> bytes_of(PyObject* b) {
    return {reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(b)), static_cast<size_t>(PyBytes_GET_SIZE(b))};
}

// Frames what will be written: the bytes of `type` and `data` as they are now,
// the length field counting those bytes (len() of a buffer of wider items
// counts items) and the CRC over them.
std::optional<ChunkPieces> frame_chunk(PyObject* type, PyObject* data) {
    if (PyObject_Length(data) < 0) return std::nullopt;
    ChunkPieces f;
    Ref type_bytes = bytes_snapshot(type);
    f.data = type_bytes ? bytes_snapshot(data) : Ref();
    if (!f.data) return std::nullopt;
    const auto length = static_cast<uint64_t>(PyBytes_GET_SIZE(f.data.get()));
    const auto crc = length_fits(length) ? chunk_crc_of(type_bytes.get(), f.data.get()) : std::nullopt;
    if (!crc) return std::nullopt;
    const std::span<const uint8_t> type_span = bytes_of(type_bytes.get());
    f.head = new_bytes(nullptr, png::frame_head_bytes(type_span));
    f.tail = f.head ? new_bytes(nullptr, png::kFrameTailBytes) : Ref();
    if (!f.tail) return std::nullopt;
    png::write_frame_head(static_cast<uint32_t>(length), type_span, bytes_of(f.head.get()).data());
    png::write_frame_tail(*crc, bytes_of(f.tail.get()).data());
    return f;
}

// In three writes: a file object sees the head, the data and the tail.
bool write_pieces(PyObject* file, const ChunkPieces& f) {
    return write_to(file, f.head.get()) && write_to(file, f.data.get()) && write_to(file, f.tail.get());
}

PyObject* write_png(const BoundArgs& a) {
    auto encoded = encode_png(a.int32(WriteArg::width), a.int32(WriteArg::height), a[WriteArg::pixels],
                              a[WriteArg::alpha], a[WriteArg::filter_types], level_of(a, WriteArg::compress_level));
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
    CheckedVector<Entry> list;
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
        if (!e.list.push_back(std::move(entry))) return PyErr_NoMemory(), std::nullopt;
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
std::optional<CheckedVector<ChunkPieces>> plan_chunks(const Entries& entries, const Encoded& encoded, PyObject* parts) {
    Ref idat_type = bytes_constant("IDAT");
    if (!idat_type) return std::nullopt;
    CheckedVector<ChunkPieces> idat_group;
    Ref it = Ref::steal(PyObject_GetIter(parts));
    if (!it) return std::nullopt;
    while (Ref part = Ref::steal(PyIter_Next(it.get()))) {
        auto frame = frame_chunk(idat_type.get(), part.get());
        if (!frame) return std::nullopt;
        if (!idat_group.push_back(std::move(*frame))) return PyErr_NoMemory(), std::nullopt;
    }
    if (PyErr_Occurred()) return std::nullopt;

    CheckedVector<ChunkPieces> plan;
    auto add = [&plan](ChunkPieces&& frame) { return plan.push_back(std::move(frame)) || PyErr_NoMemory(); };
    auto add_image_data = [&] {
        for (ChunkPieces& frame : idat_group) {
            if (!add(std::move(frame))) return false;
        }
        return true;
    };
    if (!entries.has_ihdr) {
        // A list without an IHDR still makes a PNG with one, right after the signature.
        Ref ihdr_type = bytes_constant("IHDR");
        auto frame = ihdr_type ? frame_chunk(ihdr_type.get(), encoded.ihdr.get()) : std::nullopt;
        if (!frame || !add(std::move(*frame))) return std::nullopt;
    }
    bool idat_placed = false;
    for (const Entry& entry : entries.list) {
        if (entry.idat) {
            // All new image data goes out at the place of the first IDAT.
            if (!idat_placed && !add_image_data()) return std::nullopt;
            idat_placed = true;
            continue;
        }
        Ref payload = payload_of(entry, encoded.ihdr.get());
        auto frame = payload ? frame_chunk(entry.type.get(), payload.get()) : std::nullopt;
        if (!frame || !add(std::move(*frame))) return std::nullopt;
    }
    if (!idat_placed && !add_image_data()) return std::nullopt;
    return plan;
}

PyObject* write_png_with_chunks(const BoundArgs& a) {
    PyObject *path = a[ChunksArg::path], *pixels = a[ChunksArg::pixels], *alpha = a[ChunksArg::alpha],
             *chunks = a[ChunksArg::chunks], *filters = a[ChunksArg::filter_types];
    const int32_t width = a.int32(ChunksArg::width), height = a.int32(ChunksArg::height);
    const auto level = level_of(a, ChunksArg::compress_level);
    const int has_chunks = PyObject_IsTrue(chunks);
    if (has_chunks < 0) return nullptr;
    if (!has_chunks) {
        const auto writer = look_up(Hook::_writePng);
        Ref w = writer ? Ref::steal(PyLong_FromLong(width)) : Ref();
        Ref h = w ? Ref::steal(PyLong_FromLong(height)) : Ref();
        if (!h) return nullptr;
        Ref kwnames, level_value;
        if (level && (!(kwnames = level_keyword()) || !(level_value = Ref::steal(PyLong_FromLong(*level)))))
            return nullptr;
        PyObject* args[] = {path, w.get(), h.get(), pixels, alpha, filters, level_value.get()};
        if (!call_bound(*writer, kWritePngSpec, {args, level ? 7u : 6u}, kwnames.get())) return nullptr;
        Py_RETURN_NONE;
    }
    auto encoded = encode_png(width, height, pixels, alpha, filters, level);
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
        for (const ChunkPieces& frame : *plan) {
            if (!write_pieces(file, frame)) return false;
        }
        return true;
    });
    if (!ok) return nullptr;
    Py_RETURN_NONE;
}

constexpr Param kWritePngParams[] = {
    {"path"},  {"width", Check::Int32}, {"height", Check::Int32}, {"pixels"},
    {"alpha"}, {"filter_types"},        kCompressLevelParam,
};
constexpr Param kWriteWithChunksParams[] = {
    {"path"},   {"width", Check::Int32}, {"height", Check::Int32}, {"pixels"}, {"alpha"},
    {"chunks"}, {"filter_types"},        kCompressLevelParam,
};
static_assert(named_as<WriteArg>(kWritePngParams));
static_assert(named_as<ChunksArg>(kWriteWithChunksParams));

}  // namespace

Ref level_keyword() {
    Ref name = Ref::steal(PyUnicode_InternFromString("compress_level"));
    return name ? Ref::steal(PyTuple_Pack(1, name.get())) : Ref();
}

const FunctionSpec kWritePngSpec = {
    .name = "_writePng",
    .qualname = "_writePng",
    .kind = Kind::Function,
    .params = kWritePngParams,
    .defaults = 2,
    .returns = "None",
    .body = write_png,
    .keyword_only = 1,
};
const FunctionSpec kWritePngWithChunksSpec = {
    .name = "_writePngWithChunks",
    .qualname = "_writePngWithChunks",
    .kind = Kind::Function,
    .params = kWriteWithChunksParams,
    .defaults = 1,
    .returns = nullptr,
    .body = write_png_with_chunks,
    .keyword_only = 1,
};

}  // namespace vextaro
