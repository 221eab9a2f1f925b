#include "core/pypy_pixels.hpp"

#if defined(PYPY_VERSION)

#include <cstring>

#include "core/image.hpp"
#include "core/pixels.hpp"

namespace vextaro {

namespace {

constexpr const char* kSource = R"(
def getPixel(self, coords):
    if type(coords) is tuple and len(coords) == 2:
        x, y = coords
        if type(x) is int and type(y) is int:
            rgb = _packed_get(self, x, y)
            if rgb >= 0:
                return (rgb >> 16, (rgb >> 8) & 255, rgb & 255)
    return _get(self, coords)

def putPixel(self, coords, value):
    if type(coords) is tuple and len(coords) == 2 and type(value) is tuple and len(value) == 3:
        x, y = coords
        r, g, b = value
        if type(x) is int and type(y) is int and type(r) is int and type(g) is int and type(b) is int:
            if _packed_put(self, x, y, (r & 255) << 16 | (g & 255) << 8 | (b & 255)):
                return None
    return _put(self, coords, value)
)";

// Arguments the fast path can take; anything else leaves the decision to the general path.
bool plain_args(PyObject* const* args, Py_ssize_t n, Py_ssize_t expected, long long* values) {
    if (n != expected || !PyObject_TypeCheck(args[0], &ImageType)) return false;
    for (Py_ssize_t k = 1; k < n; ++k) {
        if (!PyLong_CheckExact(args[k])) return false;
        int overflow = 0;
        values[k - 1] = PyLong_AsLongLongAndOverflow(args[k], &overflow);
        if (overflow != 0 || (values[k - 1] == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

PyObject* packed_get(PyObject*, PyObject* const* args, Py_ssize_t n) {
    long long v[2];
    if (!plain_args(args, n, 3, v)) return PyLong_FromLong(-1);
    return PyLong_FromLong(packed_pixel(reinterpret_cast<ImageObject*>(args[0]), v[0], v[1]));
}

PyObject* packed_put(PyObject*, PyObject* const* args, Py_ssize_t n) {
    long long v[3];
    const bool done = plain_args(args, n, 4, v) &&
                      put_packed_pixel(reinterpret_cast<ImageObject*>(args[0]), v[0], v[1], static_cast<uint32_t>(v[2]));
    return PyBool_FromLong(done);
}

PyMethodDef kPackedGet = {"_packed_get", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(packed_get)),
                          METH_FASTCALL, nullptr};
PyMethodDef kPackedPut = {"_packed_put", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(packed_put)),
                          METH_FASTCALL, nullptr};

}  // namespace

Ref pypy_pixel_method(const FunctionSpec& spec, PyObject* impl, PyObject* module_name) {
    Ref globals = Ref::steal(PyDict_New());
    Ref get = Ref::steal(PyCFunction_New(&kPackedGet, nullptr));
    Ref put = Ref::steal(PyCFunction_New(&kPackedPut, nullptr));
    if (!globals || !get || !put || PyDict_SetItemString(globals.get(), "__name__", module_name) < 0 ||
        PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0 ||
        PyDict_SetItemString(globals.get(), "_packed_get", get.get()) < 0 ||
        PyDict_SetItemString(globals.get(), "_packed_put", put.get()) < 0 ||
        PyDict_SetItemString(globals.get(), std::strcmp(spec.name, "getPixel") == 0 ? "_get" : "_put", impl) < 0)
        return {};
    Ref ran = Ref::steal(PyRun_String(kSource, Py_file_input, globals.get(), globals.get()));
    PyObject* function = ran ? PyDict_GetItemString(globals.get(), spec.name) : nullptr;
    if (function == nullptr) return {};
    // The same attributes as the module's own function objects carry.
    Ref qualname = Ref::steal(PyUnicode_FromString(spec.qualname));
    Ref annotations = Ref::steal(PyObject_GetAttrString(impl, "__annotations__"));
    if (!qualname || !annotations || PyObject_SetAttrString(function, "__qualname__", qualname.get()) < 0 ||
        PyObject_SetAttrString(function, "__annotations__", annotations.get()) < 0)
        return {};
    return Ref::borrow(function);
}

}  // namespace vextaro

#endif
