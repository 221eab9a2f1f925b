#include "binding/namespace.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "binding/compat.hpp"

namespace vextaro {

namespace {

bool intern(PyObject*& slot, const char* text) {
    if (slot == nullptr) slot = PyUnicode_InternFromString(text);
    return slot != nullptr;
}

bool keep(PyObject*& slot, PyObject* value) {
    if (value == nullptr) return false;
    Py_XDECREF(slot);
    slot = value;
    return true;
}

}  // namespace

bool init_namespace(PyObject* module) {
    process_state.namespace_dict = compat::new_ref(PyModule_GetDict(module));
    return intern(names.read, "read") && intern(names.seek, "seek") && intern(names.close, "close") &&
           intern(names.unpack, "unpack") && intern(names.pack, "pack") && intern(names.decompress, "decompress") &&
           intern(names.crc32, "crc32") && intern(names.error, "error") && intern(names.startswith, "startswith") &&
           intern(names.join, "join") && intern(names.write, "write") && intern(names.compress, "compress") &&
           intern(names.get, "get") && intern(names.getitem, "__getitem__") && intern(names.int_, "__int__") &&
           intern(names.obj, "obj") && keep(host.open, builtin("open")) && keep(host.print, builtin("print")) &&
           keep(host.stat, posix_function("stat")) && keep(host.lstat, posix_function("lstat"));
}

PyObject* builtin(const char* name) {
    PyObject* value = PyDict_GetItemString(PyEval_GetBuiltins(), name);
    if (value == nullptr) {
        PyErr_Format(PyExc_ImportError, "the built-in %s is missing", name);
        return nullptr;
    }
    return compat::new_ref(value);
}

PyObject* posix_function(const char* name) {
    Ref posix = Ref::steal(PyImport_ImportModule("posix"));
    return posix ? PyObject_GetAttrString(posix.get(), name) : nullptr;
}

bool is_host_zlib_function(PyObject* f, const char* name) {
#if defined(PYPY_VERSION)
    // PyPy's zlib is part of the interpreter: its functions are of the type of
    // its other built-in functions, whose modules and code cannot be reassigned.
    // A Python function made built-in (__pypy__.builtinify, as print is) has
    // that type too, with its own code: only the interpreter's own code, of
    // its built-in code type, runs the interpreter's zlib.
    if (Py_TYPE(f) != Py_TYPE(host.print)) return false;
    Ref module = Ref::steal(PyObject_GetAttrString(f, "__module__"));
    Ref code = module ? Ref::steal(PyObject_GetAttrString(f, "__code__")) : Ref();
    Ref code_name = code ? Ref::steal(PyObject_GetAttrString(code.get(), "co_name")) : Ref();
    if (!code_name) {
        PyErr_Clear();
        return false;
    }
    return std::strcmp(Py_TYPE(code.get())->tp_name, "builtin-code") == 0 && PyUnicode_CheckExact(module.get()) &&
           PyUnicode_CheckExact(code_name.get()) && PyUnicode_CompareWithASCIIString(module.get(), "zlib") == 0 &&
           PyUnicode_CompareWithASCIIString(code_name.get(), name) == 0;
#else
    // A C function's module can be renamed, but not the definition it was made
    // from, nor the C code it runs.
    if (!PyCFunction_CheckExact(f)) return false;
    PyObject* self = PyCFunction_GET_SELF(f);
    PyModuleDef* def = self != nullptr && PyModule_Check(self) ? PyModule_GetDef(self) : nullptr;
    if (def == nullptr || def->m_name == nullptr || std::strcmp(def->m_name, "zlib") != 0) return false;
    for (const PyMethodDef* m = def->m_methods; m != nullptr && m->ml_name != nullptr; ++m) {
        if (std::strcmp(m->ml_name, name) == 0) return m->ml_meth == PyCFunction_GET_FUNCTION(f);
    }
    return false;
#endif
}

Ref module_global(PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(process_state.namespace_dict, name);
    if (value == nullptr) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        return {};
    }
    return Ref::borrow(value);
}

Ref call_method(PyObject* obj, PyObject* name, const char* format, ...) {
    Ref method = Ref::steal(PyObject_GetAttr(obj, name));
    if (!method) return method;
    // The parentheses make a tuple of any number of units, one included.
    char tuple_format[32];
    const int written = std::snprintf(tuple_format, sizeof tuple_format, "(%s)", format);
    if (written < 0 || static_cast<size_t>(written) >= sizeof tuple_format) {
        PyErr_SetString(PyExc_SystemError, "call_method: format too long");
        return {};
    }
    va_list va;
    va_start(va, format);
    Ref args = Ref::steal(Py_VaBuildValue(tuple_format, va));
    va_end(va);
    return args ? Ref::steal(PyObject_Call(method.get(), args.get(), nullptr)) : Ref();
}

}  // namespace vextaro
