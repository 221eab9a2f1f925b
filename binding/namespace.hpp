// The module namespace as the operations see it at call time, the method names
// they call by, and the host objects captured once at import (the names and
// the objects are kept in binding/process.hpp).
#pragma once

#include <Python.h>

#include "binding/process.hpp"
#include "binding/pyref.hpp"

namespace vextaro {

// Makes the names and captures the built-ins; `module` is the module being initialised.
bool init_namespace(PyObject* module);

// Whether `f` is the host zlib module's own function `name`, judged by what
// it is rather than by what was bound at import, which a patch made before
// the import would have been. Runs no code of the caller's.
bool is_host_zlib_function(PyObject* f, const char* name);

// A new reference to a built-in of the host; ImportError if it is missing.
PyObject* builtin(const char* name);

// A new reference to a function of the host's posix module.
PyObject* posix_function(const char* name);

// The current value of a module-level name; NameError if it was deleted.
// Operations reach it only through core/hooks.hpp, which says what each name means.
Ref module_global(PyObject* name);

// obj.name(*args), the arguments built by Py_BuildValue from `format` (one
// format unit per argument).
Ref call_method(PyObject* obj, PyObject* name, const char* format, ...);

}  // namespace vextaro
