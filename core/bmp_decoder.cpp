#include "core/bmp_decoder.hpp"

#include <cstdint>
#include <cstring>
#include <iterator>
#include <optional>
#include <span>
#include <utility>

#include "binding/args.hpp"
#include "binding/buffer.hpp"
#include "binding/gil.hpp"
#include "binding/namespace.hpp"
#include "bmp/decode.hpp"
#include "bmp/header.hpp"
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

std::span<const uint8_t> bytes_view(PyObject* bytes) {
    return {reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(bytes)), static_cast<size_t>(PyBytes_GET_SIZE(bytes))};
}

// The module as the decode pipeline's host: the file through its source, the
// header fields through its struct, the pixels as a bytearray, failures as the
// exception set.
class ModuleHost {
public:
    // The info header's fields as struct gives them, in its order.
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

    explicit ModuleHost(Source& source) : source_(source) {}

    std::optional<Ref> read(uint64_t n) {
        Ref got = source_.read(n);
        return got ? std::optional(std::move(got)) : std::nullopt;
    }
    std::span<const uint8_t> view(const Ref& bytes) const { return bytes_view(bytes.get()); }
    bool file_fields(std::span<const uint8_t> fields) {
        Ref tail = new_bytes(fields.data(), fields.size());
        Ref items[std::size(bmp::kFileHeaderFields)];
        if (!tail || !unpack(bmp::kFileHeaderFormat, tail.get(), items, std::size(items))) return false;
        pixel_offset_ = std::move(items[3]);
        return true;
    }
    std::optional<int64_t> info_size(Ref& field) {
        Ref size[1];
        if (!unpack(bmp::kInfoSizeFormat, field.get(), size, 1)) return std::nullopt;
        return as_int64(size[0].get());
    }
    bool info_fields(Ref& info, bmp::InfoHeader& h) {
        if (!unpack(bmp::kInfoFieldsFormat, info.get(), fields, kFields)) return false;
        const std::pair<Field, int64_t*> checked[] = {{kWidth, &h.width},
                                                      {kHeight, &h.height},
                                                      {kPlanes, &h.planes},
                                                      {kBits, &h.bits_per_pixel},
                                                      {kCompression, &h.compression}};
        for (const auto& [field, value] : checked) {
            const auto v = as_int64(fields[field].get());
            if (!v) return false;
            *value = *v;
        }
        return true;
    }
    bool refuse(bmp::Error e) { return raise(e), false; }
    bool seek_pixels() { return source_.seek(pixel_offset_.get()); }

    bool in_memory() const { return source_.in_memory(); }
    uint64_t remaining() const { return source_.remaining(); }
    std::span<const uint8_t> take(uint64_t n) { return source_.take(n); }
    bool make_pixels(uint64_t total) { return bool(pixels_ = new_bytearray(total)); }
    std::span<uint8_t> pixels() const {
        return {reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(pixels_.get())),
                static_cast<size_t>(PyByteArray_GET_SIZE(pixels_.get()))};
    }
    ByteArrayStorage& row_storage() { return storage_; }
    bool no_room() {
        if (!PyErr_Occurred()) PyErr_NoMemory();
        return false;
    }
    template <typename Work>
    auto unlocked(Work&& work) {
        return without_gil(std::forward<Work>(work));
    }

    // The pixels, wherever the rows went.
    Ref take_pixels() { return pixels_ ? std::move(pixels_) : storage_.finish(); }

    Ref fields[kFields];

private:
    Source& source_;
    Ref pixel_offset_, pixels_;
    ByteArrayStorage storage_;
};

}  // namespace

std::optional<Decoded> load_bmp(Source& source) {
    ModuleHost host(source);
    bmp::Plan plan;
    if (!bmp::decode(host, plan)) return std::nullopt;
    Ref pixels = host.take_pixels();
    const Ref* f = host.fields;
    using F = ModuleHost::Field;
    Ref record = pixels ? Ref::steal(Py_BuildValue("{sOsOsOsO}", "xppm", f[F::kXppm].get(), "yppm", f[F::kYppm].get(),
                                                   "clrUsed", f[F::kClrUsed].get(), "clrImportant",
                                                   f[F::kClrImportant].get()))
                        : Ref();
    if (!record) return std::nullopt;
    // The width as checked, not the object struct gave, whose conversions could differ.
    return Decoded{.width = static_cast<int64_t>(plan.width),
                   .height = static_cast<int64_t>(plan.rows),
                   .pixels = std::move(pixels),
                   .alpha = Ref::borrow(Py_None),
                   .png_chunks = Ref::borrow(Py_None),
                   .bmp_header = std::move(record),
                   .png_filters = Ref::borrow(Py_None),
                   .channels = 3};
}

}  // namespace vextaro
