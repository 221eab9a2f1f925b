#include "core/bmp_decoder.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <optional>
#include <utility>

#include "binding/args.hpp"
#include "binding/buffer.hpp"
#include "binding/gil.hpp"
#include "binding/namespace.hpp"
#include "bmp/header.hpp"
#include "bmp/row_sink.hpp"
#include "bmp/rows.hpp"
#include "core/errors.hpp"
#include "core/hooks.hpp"

namespace vextaro {

namespace {

// struct.unpack(format, data) through the module's struct, into exactly n items.
bool unpack(const char* format, PyObject* data, Ref* items, Py_ssize_t n) {
    auto struct_module = look_up(Hook::struct_);
    Ref text = struct_module ? Ref::steal(PyUnicode_FromString(format)) : Ref();
    if (!text) return false;
    Ref values = Ref::steal(
        PyObject_CallMethodObjArgs(struct_module->value.get(), names.unpack, text.get(), data, nullptr));
    return values && unpack_exactly(values.get(), items, n);
}

std::optional<int64_t> as_int64(PyObject* o) {
    const long long v = PyLong_AsLongLong(o);
    if (v == -1 && PyErr_Occurred()) return std::nullopt;
    return v;
}

// A bytearray as the row sink's storage.
class ByteArrayStorage {
public:
    uint64_t size() const { return buffer_ ? static_cast<uint64_t>(PyByteArray_GET_SIZE(buffer_.get())) : 0; }
    uint8_t* data() { return reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(buffer_.get())); }

    bool grow(uint64_t to, uint64_t keep_from, uint64_t keep, uint64_t keep_to) {
        if (to > uint64_t(PY_SSIZE_T_MAX)) {
            PyErr_NoMemory();
            return false;
        }
        // Kept in place when growing at the end: the host's resize may not need to copy.
        if (buffer_ && keep_from == 0 && keep_to == 0)
            return PyByteArray_Resize(buffer_.get(), static_cast<Py_ssize_t>(to)) == 0;
        Ref bigger = new_bytearray(to);
        if (!bigger) return false;
        if (keep > 0) std::memcpy(PyByteArray_AS_STRING(bigger.get()) + keep_to, data() + keep_from, keep);
        buffer_ = std::move(bigger);
        return true;
    }

    Ref finish() { return buffer_ ? std::move(buffer_) : new_bytearray(0); }

private:
    Ref buffer_;
};

// Rows read from memory: all of them are there, so the buffer is made once, at
// its final size, and filled straight from the file's bytes.
Ref rows_from_memory(Source& source, uint64_t rows, uint64_t stride, uint64_t width, bool bottom_up) {
    if (stride > 0 && source.remaining() / stride < rows) {
        source.take(source.remaining());
        return raise(bmp::Error::Incomplete);
    }
    const uint64_t total = stride > 0 ? width * 3 * rows : 0;
    Ref pixels = new_bytearray(total);
    if (!pixels || total == 0) return pixels;
    const uint8_t* in = source.take(stride * rows).data();
    auto* out = reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(pixels.get()));
    without_gil([&] {
        bmp::read_rows(in, rows, stride, static_cast<size_t>(width), bottom_up, out);
        return 0;
    });
    return pixels;
}

Ref rows_from_stream(Source& source, uint64_t rows, uint64_t stride, uint64_t width, bool bottom_up) {
    const uint64_t row_bytes = width * 3;
    // A header may claim more than any buffer holds: the buffer grows only with
    // rows that arrive, so a short file is found short, as from memory.
    uint64_t total;
    if (__builtin_mul_overflow(row_bytes, rows, &total)) total = UINT64_MAX;
    ByteArrayStorage storage;
    bmp::RowSink sink(storage, total, bottom_up);
    // Rows of width 0 hold no bytes: there is nothing to read, however many there are.
    for (uint64_t r = 0; stride > 0 && r < rows; ++r) {
        Ref row = source.read(stride);
        if (!row) return {};
        if (static_cast<uint64_t>(PyBytes_GET_SIZE(row.get())) != stride) return raise(bmp::Error::Incomplete);
        uint8_t* target = sink.reserve(row_bytes);
        if (target == nullptr) return PyErr_Occurred() ? Ref() : Ref::steal(PyErr_NoMemory());
        bmp::bgr_to_rgb(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(row.get())), static_cast<size_t>(width),
                        target);
    }
    return storage.finish();
}

}  // namespace

std::optional<Decoded> load_bmp(Source& source) {
    Ref file_header = source.read(bmp::kFileHeaderSize);
    if (!file_header) return std::nullopt;
    if (PyBytes_GET_SIZE(file_header.get()) != Py_ssize_t(bmp::kFileHeaderSize) ||
        std::memcmp(PyBytes_AS_STRING(file_header.get()), "BM", 2) != 0)
        return raise(bmp::Error::FileHeader), std::nullopt;
    Ref tail = Ref::steal(PyBytes_FromStringAndSize(PyBytes_AS_STRING(file_header.get()) + 2, 12));
    Ref file_fields[std::size(bmp::kFileHeaderFields)];
    if (!tail || !unpack(bmp::kFileHeaderFormat, tail.get(), file_fields, std::size(file_fields))) return std::nullopt;
    PyObject* pixel_offset = file_fields[3].get();

    Ref size_bytes = source.read(4);
    if (!size_bytes) return std::nullopt;
    if (PyBytes_GET_SIZE(size_bytes.get()) != 4) return raise(bmp::Error::DibHeader), std::nullopt;
    Ref header_size[1];
    if (!unpack(bmp::kInfoSizeFormat, size_bytes.get(), header_size, 1)) return std::nullopt;
    const auto size = as_int64(header_size[0].get());
    if (!size) return std::nullopt;
    if (*size != bmp::kInfoHeaderSize) return raise(bmp::Error::HeaderKind), std::nullopt;

    Ref info = source.read(bmp::kInfoHeaderSize - 4);
    enum Field {
        kWidth,
        kHeight,
        kPlanes,
        kBits,
        kCompression,
        kImageSize,
        kXppm,
        kYppm,
        kClrUsed,
        kClrImportant,
        kFields
    };
    static_assert(kFields == std::size(bmp::kInfoFields));
    Ref f[kFields];
    if (!info || !unpack(bmp::kInfoFieldsFormat, info.get(), f, kFields)) return std::nullopt;
    bmp::InfoHeader h;
    const std::pair<Field, int64_t*> checked[] = {{kWidth, &h.width},
                                                  {kHeight, &h.height},
                                                  {kPlanes, &h.planes},
                                                  {kBits, &h.bits_per_pixel},
                                                  {kCompression, &h.compression}};
    for (const auto& [field, value] : checked) {
        const auto v = as_int64(f[field].get());
        if (!v) return std::nullopt;
        *value = *v;
    }
    if (const auto refusal = bmp::info_refusal(h)) return raise(*refusal), std::nullopt;

    const uint64_t rows = bmp::row_count(h.height), width = static_cast<uint64_t>(h.width);
    const uint64_t stride = bmp::row_stride(static_cast<uint32_t>(width));
    if (!source.seek(pixel_offset)) return std::nullopt;
    Ref pixels = source.in_memory() ? rows_from_memory(source, rows, stride, width, bmp::bottom_up(h.height))
                                    : rows_from_stream(source, rows, stride, width, bmp::bottom_up(h.height));
    Ref record = pixels
                     ? Ref::steal(Py_BuildValue("{sOsOsOsO}", "xppm", f[kXppm].get(), "yppm", f[kYppm].get(), "clrUsed",
                                                f[kClrUsed].get(), "clrImportant", f[kClrImportant].get()))
                     : Ref();
    if (!record) return std::nullopt;
    // The width as checked, not the object struct gave, whose conversions could differ.
    return Decoded{.width = static_cast<int64_t>(width),
                   .height = static_cast<int64_t>(rows),
                   .pixels = std::move(pixels),
                   .alpha = Ref::borrow(Py_None),
                   .png_chunks = Ref::borrow(Py_None),
                   .bmp_header = std::move(record),
                   .png_filters = Ref::borrow(Py_None),
                   .channels = 3};
}

}  // namespace vextaro
