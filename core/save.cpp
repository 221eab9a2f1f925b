#include "core/save.hpp"

#include <initializer_list>

#include "binding/compat.hpp"
#include "binding/namespace.hpp"
#include "core/image.hpp"

namespace vextaro {

namespace {

enum class Arg { self, path, count };

using Field = PyObject* ImageObject::*;

// writer(path, width, height, *fields), the writer looked up first: the lookup
// may run code (a key's __eq__ in the module's dict) that reassigns the fields,
// which are read after it, with nothing run between that and the call.
PyObject* call_writer(PyObject* name, PyObject* path, const ImageObject* img, std::initializer_list<Field> fields) {
    Ref writer = module_global(name);
    if (!writer) return nullptr;
    Ref args = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(3 + fields.size())));
    if (!args) return nullptr;
    PyTuple_SET_ITEM(args.get(), 0, compat::new_ref(path));
    PyObject* width = PyLong_FromLong(img->width);
    PyTuple_SET_ITEM(args.get(), 1, width);
    PyObject* height = PyLong_FromLong(img->height);
    PyTuple_SET_ITEM(args.get(), 2, height);
    if (!width || !height) return nullptr;
    Py_ssize_t i = 3;
    for (Field f : fields) PyTuple_SET_ITEM(args.get(), i++, compat::new_ref(stored(img->*f)));
    if (!Ref::steal(PyObject_Call(writer.get(), args.get(), nullptr))) return nullptr;
    Py_RETURN_NONE;
}

PyObject* save(const BoundArgs& a) {
    const auto* img = reinterpret_cast<ImageObject*>(a[Arg::self]);
    if (stored(img->png_chunks) != Py_None)
        return call_writer(names._writePngWithChunks, a[Arg::path], img,
                           {&ImageObject::pixels, &ImageObject::alpha, &ImageObject::png_chunks,
                            &ImageObject::png_filters});
    if (stored(img->bmp_header) != Py_None)
        return call_writer(names._writeBmp, a[Arg::path], img, {&ImageObject::pixels, &ImageObject::bmp_header});
    return call_writer(names._writePng, a[Arg::path], img,
                       {&ImageObject::pixels, &ImageObject::alpha, &ImageObject::png_filters});
}

PyObject* save_bmp(const BoundArgs& a) {
    return call_writer(names._writeBmp, a[Arg::path], reinterpret_cast<ImageObject*>(a[Arg::self]),
                       {&ImageObject::pixels, &ImageObject::bmp_header});
}

const Param kSaveParams[] = {
    {"self", Check::Receiver, &ImageType},
    {"path", Check::Exact, &PyUnicode_Type, "str"},
};
static_assert(std::size(kSaveParams) == param_count<Arg>());

}  // namespace

const FunctionSpec kSaveSpec = {"save", "SimpleImage.save", Kind::Method, kSaveParams, 0, "None", save};
const FunctionSpec kSaveBmpSpec = {"saveBmp", "SimpleImage.saveBmp", Kind::Method, kSaveParams, 0, "None", save_bmp};

}  // namespace vextaro
