// The module object: multi-phase initialisation, once per process, and the
// namespace in its binding order.
#include <Python.h>

#include <cstdio>

#include "binding/boundary.hpp"
#include "binding/compat.hpp"
#include "binding/function.hpp"
#include "binding/namespace.hpp"
#include "binding/process.hpp"
#include "binding/pyref.hpp"
#include "core/bmp_writer.hpp"
#include "core/chunks.hpp"
#include "core/hooks.hpp"
#include "core/idat_split.hpp"
#include "core/image.hpp"
#include "core/open.hpp"
#include "core/pixels.hpp"
#include "core/png_encoder.hpp"
#include "core/png_writer.hpp"
#include "core/pypy_methods.hpp"
#include "core/save.hpp"
#include "png/frame.hpp"

namespace vextaro {
namespace {

constexpr const char* kModuleName = "Vextaro.simpleImage_ext";

int copy_spec_attribute(PyObject* spec, PyObject* module, const char* from, const char* to, bool skip_none) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (skip_none && value.get() == Py_None) return 0;
    return PyObject_SetAttrString(module, to, value.get());
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    const int64_t id = compat::current_interpreter_id();
    if (process_state.interpreter_id == -1) {
        process_state.interpreter_id = id;
    } else if (process_state.interpreter_id != id) {
        PyErr_SetString(
            PyExc_ImportError,
            "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (process_state.module != nullptr) return compat::new_ref(process_state.module);

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    // CPython's module objects start with a __doc__ of None, PyPy's with none at all.
    if (PyObject_SetAttrString(module.get(), "__doc__", Py_None) < 0 ||
        copy_spec_attribute(spec, module.get(), "loader", "__loader__", false) < 0 ||
        copy_spec_attribute(spec, module.get(), "origin", "__file__", false) < 0 ||
        copy_spec_attribute(spec, module.get(), "parent", "__package__", false) < 0 ||
        copy_spec_attribute(spec, module.get(), "submodule_search_locations", "__path__", true) < 0)
        return nullptr;
    process_state.module = compat::new_ref(module.get());
    return module.release();
}

// Warns when the host's version differs from that of the headers we were built with.
int check_version() {
    int major = 0, minor = 0;
    if (std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor) != 2) return 0;
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return 0;
    return PyErr_WarnFormat(nullptr, 1, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, kModuleName, "does not match", major, minor);
}

// PyModule_AddObject takes `value` over only when it succeeds: it is held here until then.
int add_object(PyObject* module, const char* name, Ref value) {
    if (!value || PyModule_AddObject(module, name, value.get()) < 0) return -1;
    value.release();
    return 0;
}

int bind_from(PyObject* module, const char* source, const char* name) {
    Ref from = Ref::steal(PyImport_ImportModule(source));
    return from ? add_object(module, name, Ref::steal(PyObject_GetAttrString(from.get(), name))) : -1;
}

int bind_module(PyObject* module, const char* name) {
    return add_object(module, name, Ref::steal(PyImport_ImportModule(name)));
}

// Union[str, Path, bytes, bytearray, "SimpleImage"], from the namespace as it is now.
int bind_image_input(PyObject* module) {
    PyObject* ns = PyModule_GetDict(module);
    Ref union_ = Ref::borrow(PyDict_GetItemString(ns, "Union"));
    Ref path = Ref::borrow(PyDict_GetItemString(ns, "Path"));
    if (!union_ || !path) {
        PyErr_SetString(PyExc_ImportError, "typing.Union or pathlib.Path went missing during import");
        return -1;
    }
    Ref members = Ref::steal(
        Py_BuildValue("(OOOOs)", &PyUnicode_Type, path.get(), &PyBytes_Type, &PyByteArray_Type, "SimpleImage"));
    if (!members) return -1;
    return add_object(module, "ImageInput", Ref::steal(PyObject_GetItem(union_.get(), members.get())));
}

int add_function(PyObject* module, const FunctionSpec& spec, PyObject* module_name) {
    return add_object(module, spec.name, Ref::steal(make_function(spec, module_name)));
}

// The function inside the class's static method, to recognise it when it is looked up.
int capture(PyObject* module) {
    Ref wrapper = class_decoder(reinterpret_cast<PyObject*>(&ImageType));
    return wrapper && capture_hooks(module, wrapper.get()) ? 0 : -1;
}

// A method as the class stores it: wrapped as a static or class method where its kind says so.
Ref class_member(const FunctionSpec& spec, PyObject* module_name) {
    Ref f = Ref::steal(make_function(spec, module_name));
#if defined(PYPY_VERSION)
    if (f) f = pypy_method(spec, f.get(), module_name);
#endif
    if (!f) return f;
    const char* wrapper = spec.kind == Kind::StaticMethod  ? "staticmethod"
                          : spec.kind == Kind::ClassMethod ? "classmethod"
                                                           : nullptr;
    if (wrapper == nullptr) return f;
    Ref kind = Ref::steal(builtin(wrapper));
    return kind ? Ref::steal(PyObject_CallOneArg(kind.get(), f.get())) : Ref();
}

// The class's methods, in the order the class receives them. PyPy cannot add
// attributes to a static type once it is ready, so they go into its dict first.
Ref class_dict(PyObject* module_name) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return dict;
    // Pickling and the host's copy functions go through the first two, which refuse.
    for (const FunctionSpec* spec : {&kReduceSpec, &kSetStateSpec, &kStreamToImageSpec, &kOpenSpec, &kGetPixelSpec,
                                     &kPutPixelSpec, &kCopySpec, &kSaveSpec, &kSaveBmpSpec}) {
        Ref member = class_member(*spec, module_name);
        if (!member || PyDict_SetItemString(dict.get(), spec->name, member.get()) < 0) return {};
    }
    return dict;
}

int initialise(PyObject* module) {
    if (check_version() < 0) return -1;
    Ref module_name = Ref::steal(PyUnicode_FromString(kModuleName));
    if (!module_name || !init_namespace(module) || !init_hooks() || !ready_function_type()) return -1;
    Ref methods = class_dict(module_name.get());
    if (!methods || !ready_image_type(methods.get())) return -1;

    if (add_object(module, "SimpleImage", Ref::borrow(reinterpret_cast<PyObject*>(&ImageType))) < 0) return -1;
    if (bind_module(module, "struct") < 0 || bind_module(module, "zlib") < 0 ||
        bind_from(module, "io", "BytesIO") < 0 || bind_from(module, "pathlib", "Path") < 0)
        return -1;
    Ref zlib = Ref::steal(PyImport_ImportModule("zlib"));
    if (!zlib || !learn_host_zlib(zlib.get())) return -1;
    for (const char* name : {"List", "Sequence", "Tuple", "Union"}) {
        if (bind_from(module, "typing", name) < 0) return -1;
    }
    if (add_object(module, "PNG_SIGNATURE",
                   Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(png::kSignature), 8))) < 0)
        return -1;
    if (bind_image_input(module) < 0) return -1;
    for (const FunctionSpec* spec : {&kReadChunkSpec, &kMakeChunkSpec, &kWritePngSpec, &kSplitIdatPayloadSpec,
                                     &kWritePngWithChunksSpec, &kWriteBmpSpec}) {
        if (add_function(module, *spec, module_name.get()) < 0) return -1;
    }
    return capture(module);
}

int module_exec(PyObject* module) {
    if (process_state.initialised) {
        if (module == process_state.module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'simpleImage_ext' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    if (at_boundary(-1, [&] { return initialise(module); }) < 0) {
        // A failed import starts again from a new module object next time.
        Py_CLEAR(process_state.module);
        return -1;
    }
    process_state.initialised = true;
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "simpleImage_ext", nullptr, 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace vextaro

PyMODINIT_FUNC PyInit_simpleImage_ext() { return PyModuleDef_Init(&vextaro::module_def); }
