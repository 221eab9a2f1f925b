#include "core/writing.hpp"

#include <algorithm>

#include "binding/namespace.hpp"
#include "binding/stream.hpp"
#include "core/errors.hpp"
#include "core/hooks.hpp"
#include "core/lengths.hpp"

namespace vextaro {

std::optional<ByteBuffer> pinned_pixels(PyObject* pixels, std::optional<int64_t> expected) {
    if (!length_is(pixels, expected, message::kPixelLength)) return std::nullopt;
    Ref converted = PyByteArray_Check(pixels) ? Ref::borrow(pixels) : Ref::steal(PyByteArray_FromObject(pixels));
    auto bytes = converted ? ByteBuffer::readable(converted.get()) : std::nullopt;
    if (!bytes) return std::nullopt;
    // What the encoder reads is the byte length, which len() need not count, and
    // code run since the check (a __len__, a rebound name) may have resized it.
    if (!length_matches(static_cast<int64_t>(bytes->bytes().size()), expected, message::kPixelLength))
        return std::nullopt;
    return bytes;
}

bool check_dimensions_unsigned(int32_t width, int32_t height) {
    if (width >= 0 && height >= 0) return true;
    call_method(original(Hook::struct_), names.pack, "si", "<I", std::min(width, height));
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_OverflowError, "negative image dimensions");
    return false;
}

PyObject* call_writer(const Bound& writer, const FunctionSpec& own, std::optional<int32_t> level,
                      std::span<const Ref> args) {
    PyObject* values[8];
    size_t n = 0;
    for (const Ref& arg : args) {
        if (!arg) return nullptr;
        values[n++] = arg.get();
    }
    // A level goes to the writer as the keyword compress_level; without one the
    // call is the one writers have always had.
    Ref name, kwnames, level_value;
    if (level) {
        name = Ref::steal(PyUnicode_InternFromString("compress_level"));
        kwnames = name ? Ref::steal(PyTuple_Pack(1, name.get())) : Ref();
        if (!kwnames || !(level_value = Ref::steal(PyLong_FromLong(*level)))) return nullptr;
        values[n++] = level_value.get();
    }
    if (!call_bound(writer, own, {values, n}, kwnames.get())) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace vextaro
