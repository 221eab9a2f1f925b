#include "core/pixels.hpp"

#include <optional>

#include "binding/args.hpp"
#include "binding/compat.hpp"
#include "binding/namespace.hpp"
#include "binding/pyref.hpp"
#include "core/errors.hpp"
#include "core/geometry.hpp"
#include "core/image.hpp"

namespace vextaro {

namespace {

struct Coords {
    PyObject* x;
    PyObject* y;
};

std::optional<Coords> unpack_coords(PyObject* coords) {
    const Py_ssize_t n = PyTuple_GET_SIZE(coords);
    if (n != 2) {
        raise_unpack_error(n, 2);
        return std::nullopt;
    }
    return Coords{PyTuple_GET_ITEM(coords, 0), PyTuple_GET_ITEM(coords, 1)};
}

// An int whose arithmetic and comparisons are the host's own (bool included),
// small enough for exact 64-bit work.
std::optional<int64_t> plain_int(PyObject* o) { return compat::exact_int_value(o); }

// The three bytes at `offset` when the pixel buffer is a bytearray that holds them.
unsigned char* pixel_bytes(const ImageObject* img, int64_t offset) {
    PyObject* pixels = none_if_unset(img->pixels);
    if (!PyByteArray_CheckExact(pixels) || offset > PyByteArray_GET_SIZE(pixels) - 3) return nullptr;
    return reinterpret_cast<unsigned char*>(PyByteArray_AS_STRING(pixels)) + offset;
}

// Offset of (x, y)'s three bytes when every step can be done in C with the
// outcome the general path would have: nullopt means "take the general path".
// Sets *outside when the coordinates fail the bounds test.
std::optional<Py_ssize_t> fast_offset(const ImageObject* img, Coords c, bool* outside) {
    *outside = false;
    const auto x = plain_int(c.x), y = plain_int(c.y);
    if (!x || !y) return std::nullopt;
    if (!in_bounds(*x, *y, img->width, img->height)) {
        *outside = true;
        return std::nullopt;
    }
    const auto offset = pixel_offset(*x, *y, img->width, 3);
    if (!offset || pixel_bytes(img, *offset) == nullptr) return std::nullopt;
    return static_cast<Py_ssize_t>(*offset);
}

// The host's `a <op> b` made truthy, without the identity shortcut of RichCompareBool.
int compare(PyObject* a, PyObject* b, int op) {
    Ref result = Ref::steal(PyObject_RichCompare(a, b, op));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

// 0 <= x < width and 0 <= y < height with the host's comparisons, in that order,
// reading the dimensions afresh since a comparison may run arbitrary code.
int general_in_bounds(ImageObject* img, Coords c) {
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) return -1;
    int r = compare(zero.get(), c.x, Py_LE);
    if (r != 1) return r;
    Ref width = Ref::steal(PyLong_FromLong(img->width));
    if (!width || (r = compare(c.x, width.get(), Py_LT)) != 1) return width ? r : -1;
    if ((r = compare(zero.get(), c.y, Py_LE)) != 1) return r;
    Ref height = Ref::steal(PyLong_FromLong(img->height));
    if (!height) return -1;
    return compare(c.y, height.get(), Py_LT);
}

// (y * width + x) * 3 with the host's arithmetic on the unconverted coordinates.
Ref general_offset(ImageObject* img, Coords c) {
    Ref width = Ref::steal(PyLong_FromLong(img->width));
    if (!width) return {};
    Ref row = Ref::steal(PyNumber_Multiply(c.y, width.get()));
    if (!row) return {};
    Ref pixel = Ref::steal(PyNumber_Add(row.get(), c.x));
    if (!pixel) return {};
    Ref three = Ref::steal(PyLong_FromLong(3));
    if (!three) return {};
    return Ref::steal(PyNumber_Multiply(pixel.get(), three.get()));
}

// Bounds test and offset for both pixel methods; `fast` is set when the offset
// could be computed in C, otherwise `offset` holds the host's index object.
struct Located {
    std::optional<Py_ssize_t> fast;
    Ref offset;
};

std::optional<Located> locate(ImageObject* img, Coords c) {
    bool outside = false;
    if (auto fast = fast_offset(img, c, &outside)) return Located{fast, {}};
    const int inside = outside ? 0 : general_in_bounds(img, c);
    if (inside == 0) raise(PyExc_ValueError, message::kOutOfBounds);
    if (inside != 1) return std::nullopt;
    Ref offset = general_offset(img, c);
    if (!offset) return std::nullopt;
    return Located{std::nullopt, std::move(offset)};
}

// index + k with the host's arithmetic.
Ref shifted(PyObject* index, long k) {
    if (k == 0) return Ref::borrow(index);
    Ref step = Ref::steal(PyLong_FromLong(k));
    return step ? Ref::steal(PyNumber_Add(index, step.get())) : Ref();
}

// getPixel's parameters are the first of putPixel's.
enum class PixelArg { self, coords, value, count };

PyObject* rgb_tuple(const unsigned char* p) {
    // Read before allocating: an allocation may collect garbage, and a finaliser
    // may replace the buffer `p` points into.
    const long channels[3] = {p[0], p[1], p[2]};
    PyObject* rgb = PyTuple_New(3);
    if (rgb == nullptr) return nullptr;
    for (int k = 0; k < 3; ++k) PyTuple_SET_ITEM(rgb, k, PyLong_FromLong(channels[k]));  // cached small ints
    return rgb;
}

PyObject* get_pixel(const BoundArgs& a) {
    auto* img = reinterpret_cast<ImageObject*>(a[PixelArg::self]);
    const auto c = unpack_coords(a[PixelArg::coords]);
    if (!c) return nullptr;
    auto where = locate(img, *c);
    if (!where) return nullptr;
    if (where->fast) return rgb_tuple(pixel_bytes(img, *where->fast));
    Ref channels[3];
    for (int k = 0; k < 3; ++k) {
        Ref index = shifted(where->offset.get(), k);
        if (!index) return nullptr;
        // Held across the lookup: an index's __index__ may replace the buffer.
        Ref pixels = Ref::borrow(none_if_unset(img->pixels));
        channels[k] = Ref::steal(PyObject_GetItem(pixels.get(), index.get()));
        if (!channels[k]) return nullptr;
    }
    return PyTuple_Pack(3, channels[0].get(), channels[1].get(), channels[2].get());
}

// int(v) & 0xFF.
Ref channel_byte(PyObject* v) {
    Ref as_int = Ref::steal(PyNumber_Long(v));
    if (!as_int) return {};
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(as_int.get(), &overflow);
    if (overflow == 0) {
        if (n == -1 && PyErr_Occurred()) return {};
        return Ref::steal(PyLong_FromLong(static_cast<long>(static_cast<unsigned long long>(n) & 0xFF)));
    }
    Ref mask = Ref::steal(PyLong_FromLong(0xFF));
    return mask ? Ref::steal(PyNumber_And(as_int.get(), mask.get())) : Ref();
}

// All three channels as bytes when they are plain ints: no conversion can fail
// or run code, so writing them at once equals writing them one by one.
bool plain_channels(Ref (&items)[3], unsigned char (&out)[3]) {
    for (int k = 0; k < 3; ++k) {
        const auto v = plain_int(items[k].get());
        if (!v) return false;
        out[k] = static_cast<unsigned char>(static_cast<uint64_t>(*v) & 0xFF);
    }
    return true;
}

PyObject* put_pixel(const BoundArgs& a) {
    auto* img = reinterpret_cast<ImageObject*>(a[PixelArg::self]);
    const auto c = unpack_coords(a[PixelArg::coords]);
    if (!c) return nullptr;
    auto where = locate(img, *c);
    if (!where) return nullptr;
    Ref items[3];
    if (!unpack_exactly(a[PixelArg::value], items, 3)) return nullptr;

    unsigned char bytes[3];
    // Unpacking may have run code that replaced or resized the buffer: look again.
    unsigned char* p = where->fast ? pixel_bytes(img, *where->fast) : nullptr;
    if (p != nullptr && plain_channels(items, bytes)) {
        p[0] = bytes[0];
        p[1] = bytes[1];
        p[2] = bytes[2];
        Py_RETURN_NONE;
    }
    Ref base = where->fast ? Ref::steal(PyLong_FromSsize_t(*where->fast)) : std::move(where->offset);
    if (!base) return nullptr;
    for (int k = 0; k < 3; ++k) {
        Ref byte = channel_byte(items[k].get());
        if (!byte) return nullptr;
        Ref index = shifted(base.get(), k);
        if (!index) return nullptr;
        Ref pixels = Ref::borrow(none_if_unset(img->pixels));
        if (PyObject_SetItem(pixels.get(), index.get(), byte.get()) < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

constexpr Param kGetPixelParams[] = {
    {"self", Check::Receiver, &ImageType},
    {"coords", Check::Exact, &PyTuple_Type, "Tuple[int, int]"},
};
constexpr Param kPutPixelParams[] = {
    {"self", Check::Receiver, &ImageType},
    {"coords", Check::Exact, &PyTuple_Type, "Tuple[int, int]"},
    {"value", Check::Any, nullptr, "Sequence[int]"},
};
static_assert(named_as<PixelArg>(kGetPixelParams, true) && named_as<PixelArg>(kPutPixelParams));

}  // namespace

const FunctionSpec kGetPixelSpec = {
    .name = "getPixel",
    .qualname = "SimpleImage.getPixel",
    .kind = Kind::Method,
    .params = kGetPixelParams,
    .defaults = 0,
    .returns = "Tuple[int, int, int]",
    .body = get_pixel,
};
const FunctionSpec kPutPixelSpec = {
    .name = "putPixel",
    .qualname = "SimpleImage.putPixel",
    .kind = Kind::Method,
    .params = kPutPixelParams,
    .defaults = 0,
    .returns = "None",
    .body = put_pixel,
};

}  // namespace vextaro
