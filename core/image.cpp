#include "core/image.hpp"

#include <cstring>
#include <optional>

#include "binding/args.hpp"
#include "binding/boundary.hpp"
#include "binding/compat.hpp"
#include "binding/namespace.hpp"
#include "binding/pyref.hpp"
#include "core/errors.hpp"
#include "core/geometry.hpp"
#include "core/lengths.hpp"
#include "core/pypy_methods.hpp"

namespace vextaro {

PyTypeObject ImageType = compat::static_type();

namespace {

ImageObject* as_image(PyObject* o) { return reinterpret_cast<ImageObject*>(o); }

// bytearray(source) after checking len(source) == expected; the converted length
// is checked too, since the conversion may yield another number of bytes than
// len() reports (a memoryview of wider items, say).
Ref checked_bytearray(PyObject* source, std::optional<int64_t> expected, const char* message, bool fresh) {
    if (!length_is(source, expected, message)) return {};
    if (fresh && PyByteArray_CheckExact(source)) return Ref::borrow(source);
    Ref converted = Ref::steal(PyByteArray_FromObject(source));
    if (converted && !length_matches(PyByteArray_GET_SIZE(converted.get()), expected, message)) return {};
    return converted;
}

Ref stored_list(PyObject* source, bool fresh) {
    if (source == Py_None) return Ref::borrow(Py_None);
    if (fresh && PyList_CheckExact(source)) return Ref::borrow(source);
    return Ref::steal(PySequence_List(source));
}

Ref stored_dict(PyObject* source, bool fresh) {
    if (source == Py_None) return Ref::borrow(Py_None);
    if (fresh && PyDict_CheckExact(source)) return Ref::borrow(source);
    return Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), source));
}

enum class Arg { width, height, pixels, alpha, png_chunks, bmp_header, png_filters, count };
constexpr Param kConstructorParams[] = {
    {"width", Check::Int32}, {"height", Check::Int32}, {"pixels"},      {"alpha"},
    {"png_chunks"},          {"bmp_header"},           {"png_filters"},
};
static_assert(named_as<Arg>(kConstructorParams));

PyObject* no_body(const BoundArgs&) { return nullptr; }

// Binding rules of the constructor; its body is image_new, which receives the class.
const FunctionSpec kConstructorSpec = {
    .name = "SimpleImage",
    .qualname = "SimpleImage",
    .kind = Kind::Function,
    .params = kConstructorParams,
    .defaults = 4,
    .returns = nullptr,
    .body = no_body,
};

PyObject* image_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return at_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        BoundArgs a;
        if (!bind_arguments(kConstructorSpec, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), nullptr, kwargs, a))
            return nullptr;
        const ImageParts parts = {a.int32(Arg::width), a.int32(Arg::height), a[Arg::pixels],     a[Arg::alpha],
                                  a[Arg::png_chunks],  a[Arg::bmp_header],   a[Arg::png_filters]};
        return build_image(type, parts, false);
    });
}

int image_traverse(PyObject* self, visitproc visit, void* arg) {
    ImageObject* img = as_image(self);
    Py_VISIT(img->alpha);
    Py_VISIT(img->png_chunks);
    Py_VISIT(img->png_filters);
    Py_VISIT(img->bmp_header);
    return 0;
}

void replace(PyObject*& field, PyObject* value) {
    PyObject* old = field;
    field = compat::new_ref(value);
    Py_XDECREF(old);
}

int image_clear(PyObject* self) {
    ImageObject* img = as_image(self);
    replace(img->alpha, Py_None);
    replace(img->png_chunks, Py_None);
    replace(img->png_filters, Py_None);
    replace(img->bmp_header, Py_None);
    return 0;
}

// Images can hold images (any object goes into the metadata fields), so freeing
// a long chain would recurse once per link: the host's trashcan defers the
// deeper levels instead.
void image_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    VEXTARO_TRASHCAN_BEGIN(self, image_dealloc)
    ImageObject* img = as_image(self);
    Py_CLEAR(img->pixels);
    Py_CLEAR(img->alpha);
    Py_CLEAR(img->png_chunks);
    Py_CLEAR(img->png_filters);
    Py_CLEAR(img->bmp_header);
#if defined(PYPY_VERSION)
    Py_CLEAR(img->view_key);
#endif
    Py_TYPE(self)->tp_free(self);
    VEXTARO_TRASHCAN_END
}

template <int32_t ImageObject::*Field>
PyObject* get_dimension(PyObject* self, void*) {
    return compat::new_int(as_image(self)->*Field);
}

template <int32_t ImageObject::*Field>
int set_dimension(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_NotImplementedError, "__del__");
        return -1;
    }
    auto v = to_int32(value);
    if (!v || !forget_pixel_view(self)) return -1;
    as_image(self)->*Field = *v;
    return 0;
}

PyObject* get_size(PyObject* self, void*) {
    return Py_BuildValue("(NN)", compat::new_int(as_image(self)->width), compat::new_int(as_image(self)->height));
}

template <PyObject* ImageObject::*Field>
PyObject* get_object(PyObject* self, void*) {
    return compat::new_ref(none_if_unset(as_image(self)->*Field));
}

// Deleting stores None; anything else is stored unchanged.
template <PyObject* ImageObject::*Field>
int set_object(PyObject* self, PyObject* value, void*) {
    replace(as_image(self)->*Field, value ? value : Py_None);
    return 0;
}

int set_pixels(PyObject* self, PyObject* value, void*) {
    if (value != nullptr && value != Py_None && !PyByteArray_CheckExact(value)) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "bytearray", Py_TYPE(value)->tp_name);
        return -1;
    }
    if (!forget_pixel_view(self)) return -1;
    return set_object<&ImageObject::pixels>(self, value, nullptr);
}

PyGetSetDef image_getset[] = {
    {"width", get_dimension<&ImageObject::width>, set_dimension<&ImageObject::width>, nullptr, nullptr},
    {"height", get_dimension<&ImageObject::height>, set_dimension<&ImageObject::height>, nullptr, nullptr},
    {"size", get_size, nullptr, nullptr, nullptr},
    {"_pixels", get_object<&ImageObject::pixels>, set_pixels, nullptr, nullptr},
    {"_alpha", get_object<&ImageObject::alpha>, set_object<&ImageObject::alpha>, nullptr, nullptr},
    {"_png_chunks", get_object<&ImageObject::png_chunks>, set_object<&ImageObject::png_chunks>, nullptr, nullptr},
    {"_png_filters", get_object<&ImageObject::png_filters>, set_object<&ImageObject::png_filters>, nullptr, nullptr},
    {"_bmp_header", get_object<&ImageObject::bmp_header>, set_object<&ImageObject::bmp_header>, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

bool is_declared_attribute(PyObject* name) {
    for (const PyGetSetDef* g = image_getset; g->name != nullptr; ++g) {
        if (PyUnicode_CompareWithASCIIString(name, g->name) == 0) return true;
    }
    return false;
}

// Instances of the class itself take no attributes beyond the declared ones.
// CPython already refuses them for a type without a dict; PyPy would store them.
int image_setattro(PyObject* self, PyObject* name, PyObject* value) {
    if (Py_TYPE(self) == &ImageType && PyUnicode_Check(name) && !is_declared_attribute(name)) {
        PyErr_Format(PyExc_AttributeError, "'SimpleImage' object has no attribute '%U'", name);
        return -1;
    }
    return PyObject_GenericSetAttr(self, name, value);
}

PyObject* refuse_pickling(const BoundArgs&) {
    PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
    return nullptr;
}

enum class CopyArg { self, count };

// obj[:], and whether the result is certainly a new object nobody else holds.
// `obj` is held here: the lookups below may run code that replaces the field it came from.
Ref slice_copy(Ref obj, bool* fresh) {
    *fresh = PyByteArray_CheckExact(obj.get()) || PyList_CheckExact(obj.get());
    if (!*fresh) {
        // Worded here because the hosts word it differently; any other error of the
        // lookup is the caller's to see, as hasattr() would let it through.
        Ref method = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(obj.get())), names.getitem));
        if (!method) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return {};
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "'%.200s' object is not subscriptable", Py_TYPE(obj.get())->tp_name);
            return {};
        }
    }
    Ref everything = Ref::steal(PySlice_New(nullptr, nullptr, nullptr));
    return everything ? Ref::steal(PyObject_GetItem(obj.get(), everything.get())) : Ref();
}

// A new reference to a field's value, which outlives any reassignment of the field.
Ref field_value(PyObject* field) { return Ref::borrow(none_if_unset(field)); }

PyObject* copy_image(const BoundArgs& a) {
    auto* img = as_image(a[CopyArg::self]);
    bool fresh = true, part_fresh = true;
    auto optional_slice = [&](Ref field) {
        if (field.get() == Py_None) return field;
        Ref copy = slice_copy(std::move(field), &part_fresh);
        fresh = fresh && part_fresh;
        return copy;
    };
    Ref alpha = optional_slice(field_value(img->alpha));
    if (!alpha) return nullptr;
    Ref chunks = optional_slice(field_value(img->png_chunks));
    if (!chunks) return nullptr;
    Ref filters = optional_slice(field_value(img->png_filters));
    if (!filters) return nullptr;
    Ref bmp_field = field_value(img->bmp_header);
    Ref bmp_header = bmp_field.get() == Py_None
                         ? std::move(bmp_field)
                         : Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), bmp_field.get()));
    if (!bmp_header) return nullptr;
    Ref pixels = slice_copy(field_value(img->pixels), &part_fresh);
    if (!pixels) return nullptr;
    fresh = fresh && part_fresh;
    const ImageParts parts = {img->width,   img->height,      pixels.get(), alpha.get(),
                              chunks.get(), bmp_header.get(), filters.get()};
    return build_image(&ImageType, parts, fresh);
}

constexpr Param kCopyParams[] = {{"self", Check::Receiver, &ImageType}};
static_assert(named_as<CopyArg>(kCopyParams));

enum class PickleArg { self, state, count };
constexpr Param kReduceParams[] = {{"self", Check::Receiver, &ImageType}};
constexpr Param kSetStateParams[] = {{"self", Check::Receiver, &ImageType}, {"state"}};
static_assert(named_as<PickleArg>(kReduceParams, true) && named_as<PickleArg>(kSetStateParams));

}  // namespace

const FunctionSpec kReduceSpec = {
    .name = "__reduce__",
    .qualname = "SimpleImage.__reduce__",
    .kind = Kind::Method,
    .params = kReduceParams,
    .defaults = 0,
    .returns = nullptr,
    .body = refuse_pickling,
};
const FunctionSpec kCopySpec = {
    .name = "copy",
    .qualname = "SimpleImage.copy",
    .kind = Kind::Method,
    .params = kCopyParams,
    .defaults = 0,
    .returns = "SimpleImage",
    .body = copy_image,
};
const FunctionSpec kSetStateSpec = {
    .name = "__setstate__",
    .qualname = "SimpleImage.__setstate__",
    .kind = Kind::Method,
    .params = kSetStateParams,
    .defaults = 0,
    .returns = nullptr,
    .body = refuse_pickling,
};

PyObject* build_image(PyTypeObject* type, const ImageParts& p, bool fresh) {
    const auto pixel_length = raster_length(p.width, p.height, 3);
    Ref pixels = checked_bytearray(p.pixels, pixel_length, message::kPixelLength, fresh);
    if (!pixels) return nullptr;

    Ref alpha = Ref::borrow(Py_None);
    if (p.alpha != Py_None) {
        alpha = checked_bytearray(p.alpha, raster_length(p.width, p.height, 1), message::kAlphaLength, fresh);
        if (!alpha) return nullptr;
    }
    Ref chunks = stored_list(p.png_chunks, fresh);
    if (!chunks) return nullptr;
    Ref filters = Ref::borrow(Py_None);
    if (p.png_filters != Py_None) {
        filters = checked_bytearray(p.png_filters, p.height, message::kFilterCount, fresh);
        if (!filters) return nullptr;
    }
    Ref bmp_header = stored_dict(p.bmp_header, fresh);
    if (!bmp_header) return nullptr;

    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    ImageObject* img = as_image(self);
    img->width = p.width;
    img->height = p.height;
    img->pixels = pixels.release();
    img->alpha = alpha.release();
    img->png_chunks = chunks.release();
    img->bmp_header = bmp_header.release();
    img->png_filters = filters.release();
    return self;
}

bool ready_image_type(PyObject* methods) {
    if (ImageType.tp_flags & Py_TPFLAGS_READY) return true;
    ImageType.tp_name = "Vextaro.simpleImage_ext.SimpleImage";
    ImageType.tp_doc = "Minimal RGB image helper with an optional alpha plane.";
    ImageType.tp_basicsize = sizeof(ImageObject);
    ImageType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    ImageType.tp_new = image_new;
    ImageType.tp_dealloc = image_dealloc;
    ImageType.tp_traverse = image_traverse;
    ImageType.tp_clear = image_clear;
    ImageType.tp_getset = image_getset;
    ImageType.tp_setattro = image_setattro;
    ImageType.tp_dict = compat::new_ref(methods);
    return PyType_Ready(&ImageType) == 0;
}

}  // namespace vextaro
