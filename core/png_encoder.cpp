#include "core/png_encoder.hpp"

#include <cstring>
#include <span>

#include "binding/args.hpp"
#include "binding/buffer.hpp"
#include "binding/gil.hpp"
#include "binding/namespace.hpp"
#include "binding/process.hpp"
#include "core/chunks.hpp"
#include "core/errors.hpp"
#include "core/geometry.hpp"
#include "core/hooks.hpp"
#include "core/idat_split.hpp"
#include "core/kept.hpp"
#include "core/lengths.hpp"
#include "core/writing.hpp"
#include "png/encode.hpp"
#include "png/frame.hpp"

namespace vextaro {

namespace {

using message::kAlphaLength;
using message::kFilterCount;
using message::kPixelLength;

std::span<uint8_t> bytes_of(PyObject* b) {
    return {reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(b)), static_cast<size_t>(PyBytes_GET_SIZE(b))};
}

struct Entry {
    Ref type, data;
    png::Kind kind;
};

class ModuleHost {
public:
    ModuleHost(int32_t width, int32_t height, PyObject* pixels, PyObject* alpha, PyObject* filters, PyObject* chunks)
        : width_(width), height_(height), pixels_(pixels), alpha_(alpha), filters_(filters), chunks_(chunks) {}
    Encoded out;
    CheckedVector<ChunkPieces> plan;

    bool lengths() {
        return length_is(pixels_, pixel_length_, kPixelLength) &&
               (alpha_ == Py_None || length_is(alpha_, plane_length_, kAlphaLength));
    }
    bool header(const png::Header& h) {
        const auto struct_module = look_up(Hook::struct_);
        out.ihdr = struct_module ? call_method(struct_module->value.get(), names.pack, "siiiiiii", png::kIhdrFormat,
                                               h.width, h.height, h.bit_depth, h.colour_type, 0, 0, 0)
                                 : Ref();
        return out.ihdr && check_dimensions_unsigned(h.width, h.height);
    }
    // Each buffer is exported as soon as it is taken, and its byte length checked
    // then: the code that runs after (len() of the filter list, an alpha object's
    // buffer export) can no longer resize it.
    bool pin() {
        if (!(pixel_bytes_ = pinned_pixels(pixels_, pixel_length_))) return false;
        if (alpha_ != Py_None && !((alpha_bytes_ = ByteBuffer::writable_bytes(alpha_)) && alpha_length_holds()))
            return false;
        if (filters_ == Py_None) return true;
        if (!length_is(filters_, height_, kFilterCount)) return false;
        return (filter_bytes_ = ByteBuffer::writable_bytes(filters_)) && filter_length_holds();
    }
    uint64_t max_size() const { return uint64_t(PY_SSIZE_T_MAX); }
    // In the thread's kept buffer where it fits: a loop of saves then faults in
    // no fresh pages for the scanlines.
    std::optional<std::span<uint8_t>> scratch(uint64_t size) {
        scratch_.emplace(size, this_threads_kept_buffer());
        return scratch_->failed() ? std::nullopt : std::optional(scratch_->bytes());
    }
    // On PyPy no code of the caller's can run from here to the end of the
    // encoding, and on CPython the exports keep every size.
    std::optional<png::Planes> planes() {
        if (!pixel_bytes_->retake() || !byte_length_is(*pixel_bytes_, *pixel_length_, kPixelLength) ||
            (alpha_bytes_ && (!alpha_bytes_->retake() || !alpha_length_holds())) ||
            (filter_bytes_ && (!filter_bytes_->retake() || !filter_length_holds())))
            return std::nullopt;
        return png::Planes{pixel_bytes_->bytes().data(), alpha_bytes_ ? alpha_bytes_->bytes().data() : nullptr,
                           filter_bytes_ ? filter_bytes_->bytes().data() : nullptr};
    }
    bool bad_filter(uint8_t filter) { return raise_bad_filter(filter), false; }
    bool no_memory() { return PyErr_NoMemory(), false; }
    template <typename Work>
    auto unlocked(Work&& work) {
        return without_gil(work);
    }
    // Without a level, the bytes exactly what the host's zlib makes: compressed
    // here, without handing it a copy of the scanlines (PyPy copies C memory it
    // is handed), only while compress is the host's own on the zlib library
    // linked here. With a level, the module's own deflater while zlib.compress
    // is the host's (whichever zlib library that runs on).
    int own_deflater(std::optional<int> level) {
        if (!(compress_ = zlib_function(names.compress, "compress"))) return -1;
        return compress_->host && (level || process_state.host_zlib_is_ours);
    }
    // The rebound compress(scanlines[, level]), handed a copy.
    bool compress_elsewhere(std::span<const uint8_t> lines, std::optional<int> level) {
        Ref raw = new_bytearray(lines.size());
        Ref level_value = level && raw ? Ref::steal(PyLong_FromLong(*level)) : Ref();
        if (!raw || (level && !level_value)) return false;
        if (!lines.empty()) std::memcpy(PyByteArray_AS_STRING(raw.get()), lines.data(), lines.size());
        out.compressed = Ref::steal(
            PyObject_CallFunctionObjArgs(compress_->value.get(), raw.get(), level_value.get(), nullptr));
        return bool(out.compressed);
    }
    std::optional<std::span<uint8_t>> room(size_t size) {
        out.compressed = new_bytes(nullptr, size);
        return out.compressed ? std::optional(bytes_of(out.compressed.get())) : std::nullopt;
    }
    bool compressed(size_t size) { return bool(out.compressed = shrunk_bytes(std::move(out.compressed), size)); }

    bool read_entries() {
        idat_lengths_ = Ref::steal(PyList_New(0));
        Ref it = idat_lengths_ ? Ref::steal(PyObject_GetIter(chunks_)) : Ref();
        if (!it) return false;
        while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
            Ref fields[3];
            if (!unpack_exactly(item.get(), fields, 3)) return false;
            const int idat = chunk_type_is(fields[0].get(), "IDAT");
            const int ihdr = idat == 0 ? chunk_type_is(fields[0].get(), "IHDR") : 0;
            if (idat < 0 || ihdr < 0) return false;
            if (idat && PyList_Append(idat_lengths_.get(), fields[2].get()) < 0) return false;
            const png::Kind kind = idat ? png::Kind::Idat : ihdr ? png::Kind::Ihdr : png::Kind::Other;
            if (!entries_.push_back({std::move(fields[0]), std::move(fields[1]), kind})) return no_memory();
        }
        return !PyErr_Occurred();
    }
    // Split here only where nothing a caller gave can tell: the module's own
    // split, over bytes and sizes that are plain non-negative integers.
    int own_split() {
        if (!(split_ = look_up(Hook::_split_idat_payload))) return -1;
        if (!split_->own || !PyBytes_CheckExact(out.compressed.get())) return 0;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(idat_lengths_.get()); ++i) {
            PyObject* size = PyList_GET_ITEM(idat_lengths_.get(), i);
            const unsigned long long n = PyLong_CheckExact(size) ? PyLong_AsUnsignedLongLong(size) : 0;
            if (!PyLong_CheckExact(size) || (n == ~0ull && PyErr_Occurred())) return PyErr_Clear(), 0;
            if (!sizes_.push_back(n)) return no_memory(), -1;
        }
        return 1;
    }
    std::span<const uint64_t> idat_sizes() const { return sizes_; }
    uint64_t compressed_size() const { return static_cast<uint64_t>(PyBytes_GET_SIZE(out.compressed.get())); }
    bool idat_part(uint64_t at, uint64_t size) {
        if (size == compressed_size()) return idat(out.compressed.get());
        Ref part = new_bytes(PyBytes_AS_STRING(out.compressed.get()) + at, size);
        return part && idat(part.get());
    }
    bool split_elsewhere() {
        PyObject* args[] = {out.compressed.get(), idat_lengths_.get()};
        Ref parts = call_bound(*split_, kSplitIdatPayloadSpec, args);
        const int has_parts = parts ? PyObject_IsTrue(parts.get()) : -1;
        if (has_parts <= 0) return has_parts == 0 && idat(out.compressed.get());
        Ref it = Ref::steal(PyObject_GetIter(parts.get()));
        if (!it) return false;
        while (Ref part = Ref::steal(PyIter_Next(it.get()))) {
            if (!idat(part.get())) return false;
        }
        return !PyErr_Occurred();
    }
    size_t entry_count() const { return entries_.size(); }
    png::Kind kind(size_t i) const { return entries_[i].kind; }
    int header_differs(size_t i) {
        const int same = PyObject_RichCompareBool(entries_[i].data.get(), out.ihdr.get(), Py_EQ);
        return same < 0 ? -1 : !same;
    }
    bool fresh_header() {
        Ref type = Ref::steal(PyBytes_FromString("IHDR"));
        return type && add(plan, type.get(), out.ihdr.get());
    }
    // None counts as empty.
    bool entry(size_t i, bool fresh) {
        const Entry& e = entries_[i];
        if (fresh) return add(plan, e.type.get(), out.ihdr.get());
        Ref data = e.data.get() == Py_None ? Ref::steal(PyBytes_FromStringAndSize(nullptr, 0))
                                           : Ref::borrow(e.data.get());
        return data && add(plan, e.type.get(), data.get());
    }
    bool image_data() {
        for (ChunkPieces& frame : idats_) {
            if (!plan.push_back(std::move(frame))) return no_memory();
        }
        return true;
    }

private:
    bool byte_length_is(const ByteBuffer& view, int64_t expected, const char* message) {
        return length_matches(static_cast<int64_t>(view.bytes().size()), expected, message);
    }
    bool alpha_length_holds() { return byte_length_is(*alpha_bytes_, *plane_length_, kAlphaLength); }
    bool filter_length_holds() { return byte_length_is(*filter_bytes_, height_, kFilterCount); }
    bool add(CheckedVector<ChunkPieces>& to, PyObject* type, PyObject* data) {
        auto frame = frame_chunk(type, data);
        return frame && (to.push_back(std::move(*frame)) || no_memory());
    }
    bool idat(PyObject* data) {
        if (!idat_type_ && !(idat_type_ = Ref::steal(PyBytes_FromString("IDAT")))) return false;
        return add(idats_, idat_type_.get(), data);
    }

    int32_t width_, height_;
    PyObject *pixels_, *alpha_, *filters_, *chunks_;
    std::optional<int64_t> pixel_length_ = raster_length(width_, height_, 3),
                           plane_length_ = raster_length(width_, height_, 1);
    std::optional<ByteBuffer> pixel_bytes_, alpha_bytes_, filter_bytes_;
    std::optional<WorkingBuffer> scratch_;
    std::optional<ZlibFunction> compress_;
    std::optional<Bound> split_;
    CheckedVector<Entry> entries_;
    CheckedVector<uint64_t> sizes_;
    CheckedVector<ChunkPieces> idats_;
    Ref idat_lengths_, idat_type_;
};

}  // namespace

std::optional<Encoded> encode_png(int32_t width, int32_t height, PyObject* pixels, PyObject* alpha,
                                  PyObject* filter_types, std::optional<int32_t> level) {
    ModuleHost host(width, height, pixels, alpha, filter_types, nullptr);
    if (!png::encode_image_data(host, width, height, alpha != Py_None, level)) return std::nullopt;
    return std::move(host.out);
}

std::optional<CheckedVector<ChunkPieces>> encode_png_with_chunks(int32_t width, int32_t height, PyObject* pixels,
                                                                 PyObject* alpha, PyObject* chunks,
                                                                 PyObject* filter_types, std::optional<int32_t> level) {
    ModuleHost host(width, height, pixels, alpha, filter_types, chunks);
    if (!png::encode(host, width, height, alpha != Py_None, level)) return std::nullopt;
    return std::move(host.plan);
}

}  // namespace vextaro
