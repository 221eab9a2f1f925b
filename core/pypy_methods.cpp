#include "core/pypy_methods.hpp"

#if defined(PYPY_VERSION)

#include "binding/compat.hpp"
#include "binding/namespace.hpp"
#include "core/image.hpp"
#include "core/open.hpp"
#include "core/pixels.hpp"
#include "pypy_methods_source.hpp"

namespace vextaro {

namespace {

// The namespace the host functions run in, its `_views` and the host's id(),
// made once and kept for the life of the process (binding/process.hpp lists
// it with the rest): the setters reach them.
PyObject* host_namespace = nullptr;
PyObject* views = nullptr;
PyObject* id_function = nullptr;

// id(img), as the host functions key `_views`.
Ref key_of(PyObject* img) { return Ref::steal(PyObject_CallOneArg(id_function, img)); }

// The weak reference's callback, bound to the dead image's key: drops the
// entry if it is still the one this reference belongs to.
PyObject* drop(PyObject* key, PyObject* reference) {
    PyObject* entry = PyDict_GetItemWithError(views, key);
    if (entry == nullptr) return PyErr_Occurred() ? nullptr : compat::new_ref(Py_None);
    if (PyTuple_GET_ITEM(entry, 3) == reference && PyDict_DelItem(views, key) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef kDrop = {"_drop", drop, METH_O, nullptr};

// _remember(self): the entry `_views` keeps for `self`, (width, height, pixels,
// weak reference), or None when the fast path may not use it. Whatever may run
// code (id(), the weak reference) comes first; from reading the fields to
// storing the entry nothing runs that could let another thread reassign them.
PyObject* remember(PyObject*, PyObject* self) {
    if (!PyObject_TypeCheck(self, &ImageType)) Py_RETURN_NONE;
    Ref key = key_of(self);
    Ref callback = key ? Ref::steal(PyCFunction_New(&kDrop, key.get())) : Ref();
    Ref reference = callback ? Ref::steal(PyWeakref_NewRef(self, callback.get())) : Ref();
    if (!reference) return nullptr;
    auto* img = reinterpret_cast<ImageObject*>(self);
    PyObject* pixels = none_if_unset(img->pixels);
    if (!PyByteArray_CheckExact(pixels)) Py_RETURN_NONE;
    Ref entry = Ref::steal(
        Py_BuildValue("(NNOO)", compat::new_int(img->width), compat::new_int(img->height), pixels, reference.get()));
    if (!entry || PyDict_SetItem(views, key.get(), entry.get()) < 0) return nullptr;
    Py_XSETREF(img->view_key, key.release());
    return entry.release();
}

PyMethodDef kRemember = {"_remember", remember, METH_O, nullptr};

// A module's dict rather than a plain one: PyPy's JIT folds global lookups
// only in those.
PyObject* make_namespace(PyObject* module_name) {
    Ref module = Ref::steal(PyModule_NewObject(module_name));
    PyObject* globals = module ? PyModule_GetDict(module.get()) : nullptr;
    Ref remember_function = Ref::steal(PyCFunction_New(&kRemember, nullptr));
    Ref open_view = Ref::steal(make_function(kOpenViewSpec, module_name));
    Ref view_table = Ref::steal(PyDict_New());
    Ref id = Ref::steal(builtin("id"));
    if (globals == nullptr || !remember_function || !open_view || !view_table || !id ||
        PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins()) < 0 ||
        PyDict_SetItemString(globals, "_remember", remember_function.get()) < 0 ||
        PyDict_SetItemString(globals, "_views", view_table.get()) < 0 ||
        PyDict_SetItemString(globals, "_open_view", open_view.get()) < 0)
        return nullptr;
    // Compiled under its own file name, which tracebacks then show.
    Ref code = Ref::steal(Py_CompileString(embedded::kPypyMethods, embedded::kPypyMethodsFile, Py_file_input));
    Ref ran = code ? Ref::steal(PyEval_EvalCode(code.get(), globals, globals)) : Ref();
    if (!ran) return nullptr;
    views = view_table.release();
    id_function = id.release();
    return compat::new_ref(globals);
}

}  // namespace

Ref pypy_method(const FunctionSpec& spec, PyObject* impl, PyObject* module_name) {
    if (&spec != &kGetPixelSpec && &spec != &kPutPixelSpec && &spec != &kOpenSpec) return Ref::borrow(impl);
    if (host_namespace == nullptr && (host_namespace = make_namespace(module_name)) == nullptr) return {};
    const char* impl_name = &spec == &kGetPixelSpec ? "_get" : &spec == &kPutPixelSpec ? "_put" : "_open";
    if (PyDict_SetItemString(host_namespace, impl_name, impl) < 0) return {};
    PyObject* function = PyDict_GetItemString(host_namespace, spec.name);
    if (function == nullptr) return {};
    // The module's own function's attributes; inspect finds its signature
    // through __wrapped__.
    Ref qualname = Ref::steal(PyUnicode_FromString(spec.qualname));
    Ref annotations = Ref::steal(PyObject_GetAttrString(impl, "__annotations__"));
    Ref signature = Ref::steal(PyObject_GetAttrString(impl, "__text_signature__"));
    if (!qualname || !annotations || !signature ||
        PyObject_SetAttrString(function, "__qualname__", qualname.get()) < 0 ||
        PyObject_SetAttrString(function, "__annotations__", annotations.get()) < 0 ||
        PyObject_SetAttrString(function, "__text_signature__", signature.get()) < 0 ||
        PyObject_SetAttrString(function, "__wrapped__", impl) < 0)
        return {};
    return Ref::borrow(function);
}

// By the key `_remember` kept on the image: a setter makes no new object, so
// it cannot fail for want of memory or of stack where the host itself would not.
bool forget_pixel_view(PyObject* self) {
    auto* img = reinterpret_cast<ImageObject*>(self);
    if (img->view_key == nullptr) return true;
    PyObject* entry = PyDict_GetItemWithError(views, img->view_key);
    if (entry == nullptr && PyErr_Occurred()) return false;
    if (entry != nullptr && PyDict_DelItem(views, img->view_key) < 0) return false;
    Py_CLEAR(img->view_key);
    return true;
}

}  // namespace vextaro

#endif
