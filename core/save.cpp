#include "core/save.hpp"

#include <initializer_list>
#include <optional>

#include "binding/compat.hpp"
#include "binding/namespace.hpp"
#include "core/bmp_writer.hpp"
#include "core/errors.hpp"
#include "core/hooks.hpp"
#include "core/image.hpp"
#include "core/png_writer.hpp"

namespace vextaro {

namespace {

enum class Arg { self, path, compress_level, count };
enum class BmpArg { self, path, count };

using Field = PyObject* ImageObject::*;

// writer(path, width, height, *fields), the writer looked up first: the lookup
// may run code (a key's __eq__ in the module's dict) that reassigns the fields,
// which are read after it, with nothing run between that and the call. The
// module's own writer is called without a call through Python. A level, when
// given, goes to the writer as the keyword compress_level; without one the call
// is the one writers have always had.
PyObject* call_writer(Hook hook, const FunctionSpec& own, PyObject* path, const ImageObject* img,
                      std::initializer_list<Field> fields, std::optional<int32_t> level = std::nullopt) {
    const auto writer = look_up(hook);
    if (!writer) return nullptr;
    Ref args[3 + 4 + 1] = {Ref::borrow(path), Ref::steal(PyLong_FromLong(img->width)),
                           Ref::steal(PyLong_FromLong(img->height))};
    if (!args[1] || !args[2]) return nullptr;
    size_t n = 3;
    for (Field f : fields) args[n++] = Ref::borrow(none_if_unset(img->*f));
    Ref kwnames;
    if (level) {
        kwnames = level_keyword();
        if (!kwnames || !(args[n++] = Ref::steal(PyLong_FromLong(*level)))) return nullptr;
    }
    PyObject* values[std::size(args)];
    for (size_t i = 0; i < n; ++i) values[i] = args[i].get();
    if (!call_bound(*writer, own, {values, n}, kwnames.get())) return nullptr;
    Py_RETURN_NONE;
}

PyObject* save(const BoundArgs& a) {
    const auto* img = reinterpret_cast<ImageObject*>(a[Arg::self]);
    std::optional<int32_t> level;
    if (a[Arg::compress_level] != Py_None) level = a.int32(Arg::compress_level);
    if (none_if_unset(img->png_chunks) != Py_None)
        return call_writer(Hook::_writePngWithChunks, kWritePngWithChunksSpec, a[Arg::path], img,
                           {&ImageObject::pixels, &ImageObject::alpha, &ImageObject::png_chunks,
                            &ImageObject::png_filters},
                           level);
    if (none_if_unset(img->bmp_header) != Py_None) {
        if (level) {
            return raise(PyExc_ValueError, message::kLevelForBmp);
        }
        return call_writer(Hook::_writeBmp, kWriteBmpSpec, a[Arg::path], img,
                           {&ImageObject::pixels, &ImageObject::bmp_header});
    }
    return call_writer(Hook::_writePng, kWritePngSpec, a[Arg::path], img,
                       {&ImageObject::pixels, &ImageObject::alpha, &ImageObject::png_filters}, level);
}

PyObject* save_bmp(const BoundArgs& a) {
    return call_writer(Hook::_writeBmp, kWriteBmpSpec, a[BmpArg::path], reinterpret_cast<ImageObject*>(a[BmpArg::self]),
                       {&ImageObject::pixels, &ImageObject::bmp_header});
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
