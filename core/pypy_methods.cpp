#include "core/pypy_methods.hpp"

#if defined(PYPY_VERSION)

#include "binding/compat.hpp"
#include "core/image.hpp"
#include "core/open.hpp"
#include "core/pixels.hpp"

namespace vextaro {

namespace {

// Pixel access: the common case runs as plain Python that PyPy's JIT compiles: each image's
// width, height and pixel buffer are kept in `_views` after the first access,
// keyed by id and checked through a weak reference, so a call crosses into C
// only the first time and after a dimension or the buffer was reassigned.
// Everything else (other types, errors, odd buffers) goes to the general path.
constexpr const char* kSource = R"(
from weakref import ref as _weakref

_views = {}

def _remember(self):
    view = _view(self)
    if view is None:
        return None
    key = id(self)
    def dropped(gone, key=key):
        entry = _views.get(key)
        if entry is not None and entry[3] is gone:
            del _views[key]
    entry = view + (_weakref(self, dropped),)
    _views[key] = entry
    # Another thread may have reassigned a field after the view was read and
    # before it was stored, when there was nothing yet to forget.
    now = _view(self)
    if now is None or now[0] != view[0] or now[1] != view[1] or now[2] is not view[2]:
        _forget(self)
        return None
    return entry

def _forget(self):
    _views.pop(id(self), None)

def _view_of(self):
    v = _views.get(id(self))
    if v is None or v[3]() is not self:
        v = _remember(self)
    return v

def getPixel(self, coords):
    if type(coords) is tuple and len(coords) == 2:
        x, y = coords
        v = _view_of(self) if type(x) is int and type(y) is int else None
        if v is not None and 0 <= x < v[0] and 0 <= y < v[1]:
            p, i = v[2], (y * v[0] + x) * 3
            if i + 3 <= len(p):
                return (p[i], p[i + 1], p[i + 2])
    return _get(self, coords)

def putPixel(self, coords, value):
    if type(coords) is tuple and len(coords) == 2 and (type(value) is tuple or type(value) is list) and len(value) == 3:
        x, y = coords
        r, g, b = value
        plain = type(x) is int and type(y) is int and type(r) is int and type(g) is int and type(b) is int
        v = _view_of(self) if plain else None
        if v is not None and 0 <= x < v[0] and 0 <= y < v[1]:
            p, i = v[2], (y * v[0] + x) * 3
            if i + 3 <= len(p):
                p[i] = r & 255
                p[i + 1] = g & 255
                p[i + 2] = b & 255
                return None
    return _put(self, coords, value)

def open(cls, source):
    if type(source) is bytes:
        return _open_view(cls, memoryview(source))
    return _open(cls, source)
)";

// (width, height, pixels) when the fast path may use them, else None.
PyObject* view(PyObject*, PyObject* self) {
    if (!PyObject_TypeCheck(self, &ImageType)) Py_RETURN_NONE;
    const auto* img = reinterpret_cast<ImageObject*>(self);
    PyObject* pixels = stored(img->pixels);
    if (!PyByteArray_CheckExact(pixels)) Py_RETURN_NONE;
    return Py_BuildValue("(NNO)", compat::new_int(img->width), compat::new_int(img->height), pixels);
}

PyMethodDef kView = {"_view", view, METH_O, nullptr};

// The namespace the host functions run in, made once and kept for the life of
// the process, since the setters reach `_forget` through it.
PyObject* host_namespace = nullptr;

// A module's dict rather than a plain one: PyPy's JIT folds global lookups
// only in those.
PyObject* make_namespace(PyObject* module_name) {
    Ref module = Ref::steal(PyModule_NewObject(module_name));
    PyObject* globals = module ? PyModule_GetDict(module.get()) : nullptr;
    Ref view_function = Ref::steal(PyCFunction_New(&kView, nullptr));
    Ref open_view = Ref::steal(make_function(kOpenViewSpec, module_name));
    if (globals == nullptr || !view_function || !open_view ||
        PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins()) < 0 ||
        PyDict_SetItemString(globals, "_view", view_function.get()) < 0 ||
        PyDict_SetItemString(globals, "_open_view", open_view.get()) < 0)
        return nullptr;
    Ref ran = Ref::steal(PyRun_String(kSource, Py_file_input, globals, globals));
    return ran ? compat::new_ref(globals) : nullptr;
}

}  // namespace

Ref pypy_method(const FunctionSpec& spec, PyObject* impl, PyObject* module_name) {
    if (&spec != &kGetPixelSpec && &spec != &kPutPixelSpec && &spec != &kOpenSpec) return Ref::borrow(impl);
    if (host_namespace == nullptr && (host_namespace = make_namespace(module_name)) == nullptr) return {};
    const char* impl_name = &spec == &kGetPixelSpec ? "_get" : &spec == &kPutPixelSpec ? "_put" : "_open";
    if (PyDict_SetItemString(host_namespace, impl_name, impl) < 0) return {};
    PyObject* function = PyDict_GetItemString(host_namespace, spec.name);
    if (function == nullptr) return {};
    // The same attributes as the module's own function objects carry.
    Ref qualname = Ref::steal(PyUnicode_FromString(spec.qualname));
    Ref annotations = Ref::steal(PyObject_GetAttrString(impl, "__annotations__"));
    if (!qualname || !annotations || PyObject_SetAttrString(function, "__qualname__", qualname.get()) < 0 ||
        PyObject_SetAttrString(function, "__annotations__", annotations.get()) < 0)
        return {};
    return Ref::borrow(function);
}

bool forget_pixel_view(PyObject* img) {
    PyObject* forget = host_namespace ? PyDict_GetItemString(host_namespace, "_forget") : nullptr;
    if (forget == nullptr) return true;
    Ref done = Ref::steal(PyObject_CallOneArg(forget, img));
    return static_cast<bool>(done);
}

}  // namespace vextaro

#endif
