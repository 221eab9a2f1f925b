#include "core/chunks.hpp"

#include <cstdint>
#include <cstring>
#include <span>
#include <variant>

#include "binding/buffer.hpp"
#include "binding/namespace.hpp"
#include "binding/source.hpp"
#include "core/errors.hpp"
#include "core/hooks.hpp"
#include "png/crc.hpp"
#include "png/frame.hpp"

namespace vextaro {

namespace {

std::span<const uint8_t> bytes_span(PyObject* b) {
    return {reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(b)), static_cast<size_t>(PyBytes_GET_SIZE(b))};
}

uint8_t* writable(PyObject* b) { return reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(b)); }

std::nullopt_t fail(png::Error e) {
    raise(e);
    return std::nullopt;
}

// Raises the module's struct error for a length beyond the 32-bit field.
void refuse_length(uint64_t n) {
    auto struct_module = look_up(Hook::struct_);
    if (struct_module)
        call_method(struct_module->value.get(), names.pack, "sK", ">I", static_cast<unsigned long long>(n));
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_OverflowError, "chunk data longer than 4294967295 bytes");
}

}  // namespace

int chunk_type_is(PyObject* type, const char* name) {
    const size_t n = std::strlen(name);
    if (PyBytes_CheckExact(type))
        return static_cast<size_t>(PyBytes_GET_SIZE(type)) == n && std::memcmp(PyBytes_AS_STRING(type), name, n) == 0;
    Ref constant = Ref::steal(PyBytes_FromStringAndSize(name, static_cast<Py_ssize_t>(n)));
    return constant ? PyObject_RichCompareBool(type, constant.get(), Py_EQ) : -1;
}

bool length_fits(uint64_t n) {
    if (n <= UINT32_MAX) return true;
    refuse_length(n);
    return false;
}

namespace {

// crc32(data, crc32(type)) through a crc32 that is not the host's.
std::optional<uint32_t> crc_through(PyObject* crc32, PyObject* type, PyObject* data) {
    Ref of_type = Ref::steal(PyObject_CallOneArg(crc32, type));
    if (!of_type) return std::nullopt;
    Ref running = Ref::steal(PyObject_CallFunctionObjArgs(crc32, data, of_type.get(), nullptr));
    if (!running) return std::nullopt;
    Ref mask = Ref::steal(PyLong_FromUnsignedLong(0xFFFFFFFFul));
    Ref masked = mask ? Ref::steal(PyNumber_And(running.get(), mask.get())) : Ref();
    if (!masked) return std::nullopt;
    const unsigned long value = PyLong_AsUnsignedLong(masked.get());
    if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) return std::nullopt;
    return static_cast<uint32_t>(value);
}

}  // namespace

std::optional<uint32_t> chunk_crc_of(PyObject* type, PyObject* data) {
    const auto crc32 = zlib_function(names.crc32, "crc32");
    if (!crc32) return std::nullopt;
    if (!crc32->host) return crc_through(crc32->value.get(), type, data);
    auto type_bytes = ByteBuffer::readable(type);
    auto data_bytes = type_bytes ? ByteBuffer::readable(data) : std::nullopt;
    if (!data_bytes) return std::nullopt;
    return png::chunk_crc(type_bytes->bytes(), data_bytes->bytes());
}

Ref bytes_snapshot(PyObject* o) {
    if (PyBytes_CheckExact(o)) return Ref::borrow(o);
    auto view = ByteBuffer::readable(o);
    return view ? new_bytes(view->bytes().data(), view->bytes().size()) : Ref();
}

std::optional<ChunkPieces> frame_chunk(PyObject* type, PyObject* data) {
    if (PyObject_Length(data) < 0) return std::nullopt;
    ChunkPieces f;
    Ref type_bytes = bytes_snapshot(type);
    f.data = type_bytes ? bytes_snapshot(data) : Ref();
    if (!f.data) return std::nullopt;
    const auto length = static_cast<uint64_t>(PyBytes_GET_SIZE(f.data.get()));
    const auto crc = length_fits(length) ? chunk_crc_of(type_bytes.get(), f.data.get()) : std::nullopt;
    if (!crc) return std::nullopt;
    const std::span<const uint8_t> type_span = bytes_span(type_bytes.get());
    f.head = new_bytes(nullptr, png::frame_head_bytes(type_span));
    f.tail = f.head ? new_bytes(nullptr, png::kFrameTailBytes) : Ref();
    if (!f.tail) return std::nullopt;
    png::write_frame_head(static_cast<uint32_t>(length), type_span, writable(f.head.get()));
    png::write_frame_tail(*crc, writable(f.tail.get()));
    return f;
}

namespace {

enum class ReadArg { stream, count };
enum class MakeArg { chunkType, data, count };

PyObject* read_chunk_body(const BoundArgs& a) {
    Source source = Source::from_stream(a[ReadArg::stream]);
    auto chunk = read_chunk(source);
    if (!chunk) return nullptr;
    return PyTuple_Pack(2, chunk->type.get(), chunk->data.get());
}

PyObject* make_chunk_body(const BoundArgs& a) {
    PyObject* type = a[MakeArg::chunkType];
    PyObject* data = a[MakeArg::data];
    const Py_ssize_t length = PyBytes_GET_SIZE(data);
    if (!length_fits(static_cast<uint64_t>(length))) return nullptr;
    const auto crc = chunk_crc_of(type, data);
    if (!crc) return nullptr;
    Ref frame = new_bytes(nullptr, png::frame_head_bytes(bytes_span(type)) + uint64_t(length) + png::kFrameTailBytes);
    if (!frame) return nullptr;
    png::write_frame(bytes_span(type), bytes_span(data), *crc, writable(frame.get()));
    return frame.release();
}

constexpr Param kReadChunkParams[] = {{"stream"}};
constexpr Param kMakeChunkParams[] = {
    {"chunkType", Check::Exact, &PyBytes_Type, "bytes"},
    {"data", Check::Exact, &PyBytes_Type, "bytes"},
};
static_assert(named_as<ReadArg>(kReadChunkParams));
static_assert(named_as<MakeArg>(kMakeChunkParams));

}  // namespace

std::optional<Chunk> read_chunk(Source& source) {
    Chunk chunk;
    Ref length_field, crc_field;
    auto read = [&](png::Field field, uint64_t n) -> std::optional<std::span<const uint8_t>> {
        // Image data read from memory stays a view: no bytes object is made for it.
        if (field == png::Field::Data && source.in_memory()) return chunk.view = source.take(n);
        Ref& held = field == png::Field::Length ? length_field
                    : field == png::Field::Type ? chunk.type
                    : field == png::Field::Data ? chunk.data
                                                : crc_field;
        held = source.read(n);
        if (!held) return std::nullopt;
        return bytes_span(held.get());
    };
    const auto outcome = png::read_frame(read);
    if (std::holds_alternative<png::ReadFailed>(outcome)) return std::nullopt;
    if (const auto* error = std::get_if<png::Error>(&outcome)) return fail(*error);
    if (std::holds_alternative<png::End>(outcome)) {
        // Both empty: the chunk loop's sign that the data has ended.
        chunk.type = Ref::borrow(length_field.get());
        chunk.data = Ref::borrow(length_field.get());
        return chunk;
    }
    const auto& frame = *std::get_if<png::Frame>(&outcome);
    chunk.view = frame.data;

    const auto crc32 = zlib_function(names.crc32, "crc32");
    if (!crc32) return std::nullopt;
    if (crc32->host) {
        if (!png::crc_matches(frame)) return fail(png::Error::CorruptChunk);
        return chunk;
    }
    if (!chunk.data_object()) return std::nullopt;
    const auto expected = crc_through(crc32->value.get(), chunk.type.get(), chunk.data.get());
    if (!expected) return std::nullopt;
    if (*expected != frame.stored_crc) return fail(png::Error::CorruptChunk);
    return chunk;
}

PyObject* Chunk::data_object() {
    if (!data) {
        data = new_bytes(view.data(), view.size());
    }
    return data.get();
}

const FunctionSpec kReadChunkSpec = {
    .name = "_readChunk",
    .qualname = "_readChunk",
    .kind = Kind::Function,
    .params = kReadChunkParams,
    .defaults = 0,
    .returns = "Tuple[bytes, bytes]",
    .body = read_chunk_body,
};
const FunctionSpec kMakeChunkSpec = {
    .name = "_makeChunk",
    .qualname = "_makeChunk",
    .kind = Kind::Function,
    .params = kMakeChunkParams,
    .defaults = 0,
    .returns = "bytes",
    .body = make_chunk_body,
};

}  // namespace vextaro
