#include "core/save.hpp"

#include "binding/namespace.hpp"
#include "core/image.hpp"

namespace vextaro {

namespace {

PyObject* finish(Ref result) {
    if (!result) return nullptr;
    Py_RETURN_NONE;
}

PyObject* save(const BoundArgs& a) {
    auto* img = reinterpret_cast<ImageObject*>(a.obj[0]);
    PyObject* path = a.obj[1];
    PyObject *pixels = stored(img->pixels), *alpha = stored(img->alpha), *chunks = stored(img->png_chunks),
             *filters = stored(img->png_filters), *bmp_header = stored(img->bmp_header);
    if (chunks != Py_None) {
        Ref writer = module_global(names._writePngWithChunks);
        return finish(writer ? Ref::steal(PyObject_CallFunction(writer.get(), "OiiOOOO", path, img->width, img->height,
                                                                pixels, alpha, chunks, filters))
                             : Ref());
    }
    if (bmp_header != Py_None) {
        Ref writer = module_global(names._writeBmp);
        return finish(writer ? Ref::steal(PyObject_CallFunction(writer.get(), "OiiOO", path, img->width, img->height,
                                                                pixels, bmp_header))
                             : Ref());
    }
    Ref writer = module_global(names._writePng);
    return finish(writer ? Ref::steal(PyObject_CallFunction(writer.get(), "OiiOOO", path, img->width, img->height,
                                                            pixels, alpha, filters))
                         : Ref());
}

PyObject* save_bmp(const BoundArgs& a) {
    auto* img = reinterpret_cast<ImageObject*>(a.obj[0]);
    Ref writer = module_global(names._writeBmp);
    return finish(writer ? Ref::steal(PyObject_CallFunction(writer.get(), "OiiOO", a.obj[1], img->width, img->height,
                                                            stored(img->pixels), stored(img->bmp_header)))
                         : Ref());
}

const Param kSaveParams[] = {
    {"self", Check::Receiver, &ImageType},
    {"path", Check::Exact, &PyUnicode_Type, "str"},
};

}  // namespace

const FunctionSpec kSaveSpec = {"save", "SimpleImage.save", Kind::Method, kSaveParams, 0, "None", save};
const FunctionSpec kSaveBmpSpec = {"saveBmp", "SimpleImage.saveBmp", Kind::Method, kSaveParams, 0, "None", save_bmp};

}  // namespace vextaro
