#include "core/filter_types.hpp"

#include <optional>

#include "binding/buffer.hpp"
#include "core/errors.hpp"
#include "core/geometry.hpp"
#include "core/lengths.hpp"
#include "core/writing.hpp"
#include "png/filter_choice.hpp"

namespace vextaro {

namespace {

enum class Arg { width, height, pixels, alpha, count };

bool alpha_length_is(const ByteBuffer& view, std::optional<int64_t> expected) {
    return length_matches(static_cast<int64_t>(view.bytes().size()), expected, message::kAlphaLength);
}

PyObject* filter_types(const BoundArgs& a) {
    const int32_t width = a.int32(Arg::width), height = a.int32(Arg::height);
    if (!check_dimensions_unsigned(width, height)) return nullptr;
    const auto pixel_length = raster_length(width, height, 3), plane_length = raster_length(width, height, 1);
    auto pixels = pinned_pixels(a[Arg::pixels], pixel_length);
    if (!pixels) return nullptr;
    std::optional<ByteBuffer> alpha;
    if (a[Arg::alpha] != Py_None) {
        alpha = ByteBuffer::readable(a[Arg::alpha]);
        if (!alpha || !alpha_length_is(*alpha, plane_length)) return nullptr;
    }
    Ref chosen = new_bytearray(static_cast<uint64_t>(height));
    if (!chosen) return nullptr;
    // Taken again after the last allocation, which may have run a caller's finaliser.
    if (!pixels->retake() ||
        !length_matches(static_cast<int64_t>(pixels->bytes().size()), pixel_length, message::kPixelLength))
        return nullptr;
    if (alpha && (!alpha->retake() || !alpha_length_is(*alpha, plane_length))) return nullptr;
    // With the lock held, as rows are filtered for writing: another thread writing
    // the pixels meanwhile would make rows that were never in the image.
    if (!png::choose_filters(pixels->bytes().data(), alpha ? alpha->bytes().data() : nullptr,
                             static_cast<size_t>(width), static_cast<size_t>(height),
                             reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(chosen.get()))))
        return PyErr_NoMemory();
    return chosen.release();
}

constexpr Param kFilterTypesParams[] = {
    {"width", Check::Int32, nullptr, "int"},
    {"height", Check::Int32, nullptr, "int"},
    {"pixels"},
    {"alpha"},
};
static_assert(named_as<Arg>(kFilterTypesParams));

}  // namespace

const FunctionSpec kFilterTypesSpec = {
    .name = "_filterTypes",
    .qualname = "_filterTypes",
    .kind = Kind::Function,
    .params = kFilterTypesParams,
    .defaults = 1,
    .returns = "bytearray",
    .body = filter_types,
};

}  // namespace vextaro
