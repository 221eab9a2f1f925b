#include "core/png_writer.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "binding/args.hpp"
#include "binding/buffer.hpp"
#include "binding/compat.hpp"
#include "core/chunks.hpp"
#include "core/hooks.hpp"
#include "core/png_encoder.hpp"
#include "core/writing.hpp"
#include "png/checked_vector.hpp"

namespace vextaro {

namespace {

enum class WriteArg { path, width, height, pixels, alpha, filter_types, compress_level, count };
enum class ChunksArg { path, width, height, pixels, alpha, chunks, filter_types, compress_level, count };

template <typename Name>
std::optional<int32_t> level_of(const BoundArgs& a, Name n) {
    return a[n] == Py_None ? std::nullopt : std::optional(a.int32(n));
}

// The module's PNG_SIGNATURE, as the bytes that will be written.
Ref signature_bytes() {
    const auto signature = look_up(Hook::PNG_SIGNATURE);
    return signature ? bytes_snapshot(signature->value.get()) : Ref();
}

// A chunk built by the module's _makeChunk, as the bytes that will be written.
Ref made_chunk(const char* type, PyObject* data) {
    const auto make = look_up(Hook::_makeChunk);
    Ref chunk_type = make ? Ref::steal(PyBytes_FromString(type)) : Ref();
    if (!chunk_type) return {};
    PyObject* args[] = {chunk_type.get(), data};
    Ref chunk = call_bound(*make, kMakeChunkSpec, args);
    return chunk ? bytes_snapshot(chunk.get()) : Ref();
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
    return ok ? compat::new_ref(Py_None) : nullptr;
}

PyObject* write_png_with_chunks(const BoundArgs& a) {
    PyObject *path = a[ChunksArg::path], *pixels = a[ChunksArg::pixels], *alpha = a[ChunksArg::alpha],
             *chunks = a[ChunksArg::chunks], *filters = a[ChunksArg::filter_types];
    const int32_t width = a.int32(ChunksArg::width), height = a.int32(ChunksArg::height);
    const auto level = level_of(a, ChunksArg::compress_level);
    const int has_chunks = PyObject_IsTrue(chunks);
    if (has_chunks < 0) return nullptr;
    if (!has_chunks) {
        return call_writer(Hook::_writePng, kWritePngSpec, level, [&] {
            return std::array{Ref::borrow(path),
                              Ref::steal(PyLong_FromLong(width)),
                              Ref::steal(PyLong_FromLong(height)),
                              Ref::borrow(pixels),
                              Ref::borrow(alpha),
                              Ref::borrow(filters)};
        });
    }
    const auto plan = encode_png_with_chunks(width, height, pixels, alpha, chunks, filters, level);
    Ref signature = plan ? signature_bytes() : Ref();
    if (!signature) return nullptr;

    const bool ok = write_file(path, [&](PyObject* file) {
        if (!write_to(file, signature.get())) return false;
        for (const ChunkPieces& f : *plan) {
            // In three writes: a file object sees the head, the data and the tail.
            if (!write_to(file, f.head.get()) || !write_to(file, f.data.get()) || !write_to(file, f.tail.get()))
                return false;
        }
        return true;
    });
    return ok ? compat::new_ref(Py_None) : nullptr;
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
