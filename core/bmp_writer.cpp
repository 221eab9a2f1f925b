#include "core/bmp_writer.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

#include "binding/buffer.hpp"
#include "binding/namespace.hpp"
#include "bmp/header.hpp"
#include "bmp/rows.hpp"
#include "core/hooks.hpp"
#include "core/writing.hpp"

namespace vextaro {

namespace {

constexpr size_t kBlock = size_t{1} << 20;  // bytes of rows gathered per write

// A size the 32-bit header field may or may not hold: struct decides, so values
// far out of range are only brought within 64 bits.
long long clamp64(__int128 v) { return static_cast<long long>(std::clamp<__int128>(v, INT64_MIN, INT64_MAX)); }

// meta.get(key, default) as an int. The resolutions are signed in the file
// format: a negative one is written as its two's complement, as it was read.
Ref meta_value(PyObject* meta, const char* key, long fallback, bool is_resolution) {
    if (meta == Py_None) return Ref::steal(PyLong_FromLong(fallback));
    Ref value = call_method(meta, names.get, "sl", key, fallback);
    Ref number = value ? Ref::steal(PyNumber_Long(value.get())) : Ref();
    if (!number || !is_resolution) return number;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (overflow == 0 && v >= INT32_MIN && v < 0) return Ref::steal(PyLong_FromLongLong(v + (1LL << 32)));
    return number;
}

struct MetaValues {
    Ref xppm, yppm, used, important;
};

std::optional<MetaValues> meta_values(PyObject* meta) {
    MetaValues m;
    m.xppm = meta_value(meta, "xppm", 2835, true);
    m.yppm = m.xppm ? meta_value(meta, "yppm", 2835, true) : Ref();
    m.used = m.yppm ? meta_value(meta, "clrUsed", 0, false) : Ref();
    m.important = m.used ? meta_value(meta, "clrImportant", 0, false) : Ref();
    if (!m.important) return std::nullopt;
    return m;
}

// "BM" and both headers, packed by the module's struct.
Ref bmp_header(int32_t width, int32_t height, __int128 stride, const MetaValues& m) {
    const __int128 array_size = stride * height;
    const auto struct_module = look_up(Hook::struct_);
    if (!struct_module) return {};
    Ref file_header = call_method(struct_module->value.get(), names.pack, "sLiii", bmp::kFileHeaderFormat,
                                  clamp64(bmp::kHeadersSize + array_size), 0, 0, int(bmp::kHeadersSize));
    Ref info_header = file_header ? call_method(struct_module->value.get(), names.pack, "siiiiiiLOOOO",
                                                bmp::kInfoHeaderFormat, int(bmp::kInfoHeaderSize), width, height, 1,
                                                bmp::kBitsPerPixel, 0, clamp64(array_size), m.xppm.get(), m.yppm.get(),
                                                m.used.get(), m.important.get())
                                  : Ref();
    if (!info_header) return {};
    Ref magic = Ref::steal(PyBytes_FromStringAndSize("BM", 2));
    Ref head = magic ? Ref::steal(PySequence_Concat(magic.get(), file_header.get())) : Ref();
    return head ? Ref::steal(PySequence_Concat(head.get(), info_header.get())) : Ref();
}

// Stored rows `first` to `first + count - 1` from what `rgb` holds now. Rows that
// another thread cut off after the file was opened are written black, so that
// the file stays a whole image rather than a truncated one.
void convert_block(std::span<const uint8_t> rgb, size_t w, size_t h, size_t first, size_t count, uint8_t* out) {
    if (rgb.size() >= w * h * 3) return bmp::write_rows(rgb.data(), w, h, first, count, out);
    const size_t stride = static_cast<size_t>(bmp::row_stride(static_cast<uint32_t>(w)));
    const size_t rows_held = rgb.size() / (w * 3);  // w > 0: a row of width 0 is never short
    for (size_t r = 0; r < count; ++r) {
        if (h - 1 - (first + r) < rows_held) {
            bmp::write_rows(rgb.data(), w, h, first + r, 1, out + r * stride);
        } else {
            std::memset(out + r * stride, 0, stride);
        }
    }
}

enum class Arg { path, width, height, pixels, meta, count };

PyObject* write_bmp(const BoundArgs& a) {
    PyObject *path = a[Arg::path], *pixels = a[Arg::pixels], *meta = a[Arg::meta];
    const int32_t width = a.int32(Arg::width), height = a.int32(Arg::height);
    // Floor division, as for any width.
    const __int128 numerator = __int128{width} * 3 + 3;
    const __int128 stride = (numerator >= 0 ? numerator / 4 : -((-numerator + 3) / 4)) * 4;
    const auto values = meta_values(meta);
    if (!values) return nullptr;
    Ref pixel_buffer = PyByteArray_Check(pixels) ? Ref::borrow(pixels) : Ref::steal(PyByteArray_FromObject(pixels));
    // Every check runs before the file is opened, so a failed call leaves no file behind.
    Ref header = pixel_buffer ? bmp_header(width, height, stride, *values) : Ref();
    if (!header) return nullptr;
    if (!check_dimensions_unsigned(width, height)) return nullptr;
    const auto w = static_cast<size_t>(width), h = static_cast<size_t>(height),
               row_stride = static_cast<size_t>(stride);
    auto rgb = ByteBuffer::readable(pixel_buffer.get());
    // Short of the image: refused before the file is touched.
    if (!rgb) return nullptr;
    if (rgb->bytes().size() < w * h * 3) {
        PyErr_SetString(PyExc_IndexError, "bytearray index out of range");
        return nullptr;
    }
    const size_t rows_per_block = std::max<size_t>(1, kBlock / std::max<size_t>(1, row_stride));
    // One block, refilled for every write (fresh memory would be paged in again each
    // time), and the shorter last one: both made before the file is opened, so that
    // lack of memory cannot fail a save halfway.
    const size_t last_rows = h % rows_per_block;
    Ref block = new_bytearray(std::min(rows_per_block, h) * row_stride);
    Ref last = block && h > rows_per_block && last_rows > 0 ? new_bytearray(last_rows * row_stride) : Ref();
    if (!block || (h > rows_per_block && last_rows > 0 && !last)) return nullptr;
    const bool ok = write_file(path, [&](PyObject* file) {
        if (!write_to(file, header.get())) return false;
        for (size_t done = 0; done < h && row_stride > 0;) {
            const size_t rows = std::min(rows_per_block, h - done);
            PyObject* out = rows < rows_per_block && last ? last.get() : block.get();
            // The file's writes let other threads run, and PyPy lets an exported
            // bytearray be resized, its memory moving: the view is taken again.
            if (!rgb->retake()) return false;
            convert_block(rgb->bytes(), w, h, done, rows, reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(out)));
            done += rows;
            if (!write_to(file, out)) return false;
        }
        return true;
    });
    if (!ok) return nullptr;
    Py_RETURN_NONE;
}

constexpr Param kWriteBmpParams[] = {
    {"path"}, {"width", Check::Int32}, {"height", Check::Int32}, {"pixels"}, {"meta"},
};
static_assert(named_as<Arg>(kWriteBmpParams));

}  // namespace

const FunctionSpec kWriteBmpSpec = {
    .name = "_writeBmp",
    .qualname = "_writeBmp",
    .kind = Kind::Function,
    .params = kWriteBmpParams,
    .defaults = 1,
    .returns = "None",
    .body = write_bmp,
};

}  // namespace vextaro
