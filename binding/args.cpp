#include "binding/args.hpp"

#include <climits>

#include "binding/namespace.hpp"

namespace vextaro {

namespace {

std::optional<int32_t> int_to_int32(PyObject* value) {
    int overflow = 0;
    long v = PyLong_AsLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred()) return std::nullopt;
    if (overflow > 0 || v > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "signed integer is greater than maximum");
        return std::nullopt;
    }
    if (overflow < 0 || v < INT32_MIN) {
        PyErr_SetString(PyExc_OverflowError, "signed integer is less than minimum");
        return std::nullopt;
    }
    return static_cast<int32_t>(v);
}

}  // namespace

std::optional<int32_t> to_int32(PyObject* o) {
    if (PyLong_Check(o)) return int_to_int32(o);
    // Only __int__ counts: strings parse under int() but are not integers here,
    // and __index__ alone is not enough.
    Ref method = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(o)), names.int_));
    if (!method) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return std::nullopt;
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return std::nullopt;
    }
    Ref converted = Ref::steal(PyObject_CallOneArg(method.get(), o));
    if (!converted) return std::nullopt;
    if (!PyLong_Check(converted.get())) {
        PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(converted.get())->tp_name);
        return std::nullopt;
    }
    return int_to_int32(converted.get());
}

bool check_exact_type(PyObject* o, PyTypeObject* type, const char* param, bool none_ok) {
    if (Py_TYPE(o) == type || (none_ok && o == Py_None)) return true;
    const char* note = "";
    if (!none_ok && PyObject_TypeCheck(o, type))
        note = ". Subclasses of built-in types are not accepted for this parameter";
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s", param,
                 type->tp_name, Py_TYPE(o)->tp_name, note);
    return false;
}

bool unpack_exactly(PyObject* value, Ref* items, Py_ssize_t n) {
    if (PyTuple_CheckExact(value) || PyList_CheckExact(value)) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(value);
        if (size != n) {
            raise_unpack_error(size, n);
            return false;
        }
        for (Py_ssize_t k = 0; k < n; ++k) items[k] = Ref::borrow(PySequence_Fast_GET_ITEM(value, k));
        return true;
    }
    Ref it = Ref::steal(PyObject_GetIter(value));
    if (!it) return false;
    for (Py_ssize_t k = 0; k < n; ++k) {
        items[k] = Ref::steal(PyIter_Next(it.get()));
        if (!items[k]) {
            if (!PyErr_Occurred()) raise_unpack_error(k, n);
            return false;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) {
        raise_unpack_error(n + 1, n);
        return false;
    }
    return !PyErr_Occurred();
}

void raise_unpack_error(Py_ssize_t got, Py_ssize_t expected) {
    if (got > expected) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
    } else {
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got, got == 1 ? "" : "s");
    }
}

}  // namespace vextaro
