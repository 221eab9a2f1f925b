// Everything that differs between the hosts (CPython 3.9-3.13, PyPy's cpyext)
// lives here, so the rest of the module is written once.
#pragma once

#include <Python.h>

#include <cstdint>

namespace vextaro::compat {

#if defined(PYPY_VERSION)
// cpyext calls tp_call only; the vectorcall slot would never be used.
inline constexpr bool kHasVectorcall = false;
#else
inline constexpr bool kHasVectorcall = true;
#endif

#ifdef Py_TPFLAGS_HAVE_VECTORCALL
inline constexpr unsigned long kVectorcallFlag = Py_TPFLAGS_HAVE_VECTORCALL;
#elif defined(_Py_TPFLAGS_HAVE_VECTORCALL)
inline constexpr unsigned long kVectorcallFlag = _Py_TPFLAGS_HAVE_VECTORCALL;
#else
inline constexpr unsigned long kVectorcallFlag = 0;
#endif

// Py_NewRef does not exist on PyPy.
inline PyObject* new_ref(PyObject* o) {
    Py_INCREF(o);
    return o;
}

// An empty static type with the header PyVarObject_HEAD_INIT gives it, so that
// only the slots a type uses need naming.
inline PyTypeObject static_type() {
    PyTypeObject type{};
    type.ob_base = PyVarObject{PyObject_HEAD_INIT(nullptr) 0};
    return type;
}

// Identifies the interpreter that is running; PyPy has only one.
inline int64_t current_interpreter_id() {
#if defined(PYPY_VERSION)
    return 0;
#else
    return PyInterpreterState_GetID(PyInterpreterState_Get());
#endif
}

}  // namespace vextaro::compat
