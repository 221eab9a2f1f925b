#include "core/save.hpp"

#include <array>
#include <optional>

#include "binding/compat.hpp"
#include "binding/namespace.hpp"
#include "core/bmp_writer.hpp"
#include "core/errors.hpp"
#include "core/hooks.hpp"
#include "core/image.hpp"
#include "core/png_writer.hpp"
#include "core/writing.hpp"

namespace vextaro {

namespace {

enum class Arg { self, path, compress_level, count };
enum class BmpArg { self, path, count };

// writer(path, width, height, *fields), the image's size and fields read after
// the writer is looked up.
template <typename... Fields>
PyObject* write_image_with(Hook hook, const FunctionSpec& own, PyObject* path, const ImageObject* img,
                           std::optional<int32_t> level, Fields... fields) {
    return call_writer(hook, own, level, [&] {
        return std::array{Ref::borrow(path), Ref::steal(PyLong_FromLong(img->width)),
                          Ref::steal(PyLong_FromLong(img->height)), Ref::borrow(none_if_unset(img->*fields))...};
    });
}

PyObject* save(const BoundArgs& a) {
    const auto* img = reinterpret_cast<ImageObject*>(a[Arg::self]);
    std::optional<int32_t> level;
    if (a[Arg::compress_level] != Py_None) level = a.int32(Arg::compress_level);
    if (none_if_unset(img->png_chunks) != Py_None)
        return write_image_with(Hook::_writePngWithChunks, kWritePngWithChunksSpec, a[Arg::path], img, level,
                                &ImageObject::pixels, &ImageObject::alpha, &ImageObject::png_chunks,
                                &ImageObject::png_filters);
    if (none_if_unset(img->bmp_header) != Py_None) {
        if (level) {
            return raise(PyExc_ValueError, message::kLevelForBmp);
        }
        return write_image_with(Hook::_writeBmp, kWriteBmpSpec, a[Arg::path], img, std::nullopt, &ImageObject::pixels,
                                &ImageObject::bmp_header);
    }
    return write_image_with(Hook::_writePng, kWritePngSpec, a[Arg::path], img, level, &ImageObject::pixels,
                            &ImageObject::alpha, &ImageObject::png_filters);
}

PyObject* save_bmp(const BoundArgs& a) {
    return write_image_with(Hook::_writeBmp, kWriteBmpSpec, a[BmpArg::path],
                            reinterpret_cast<ImageObject*>(a[BmpArg::self]), std::nullopt, &ImageObject::pixels,
                            &ImageObject::bmp_header);
}

constexpr Param kSaveParams[] = {
    {"self", Check::Receiver, &ImageType},
    {"path", Check::Exact, &PyUnicode_Type, "str"},
    kCompressLevelParam,
};
constexpr Param kSaveBmpParams[] = {
    {"self", Check::Receiver, &ImageType},
    {"path", Check::Exact, &PyUnicode_Type, "str"},
};
static_assert(named_as<Arg>(kSaveParams));
static_assert(named_as<BmpArg>(kSaveBmpParams));

}  // namespace

const FunctionSpec kSaveSpec = {
    .name = "save",
    .qualname = "SimpleImage.save",
    .kind = Kind::Method,
    .params = kSaveParams,
    .defaults = 0,
    .returns = "None",
    .body = save,
    .keyword_only = 1,
};
const FunctionSpec kSaveBmpSpec = {
    .name = "saveBmp",
    .qualname = "SimpleImage.saveBmp",
    .kind = Kind::Method,
    .params = kSaveBmpParams,
    .defaults = 0,
    .returns = "None",
    .body = save_bmp,
};

}  // namespace vextaro
