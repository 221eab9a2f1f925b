#include "binding/function.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "binding/args.hpp"
#include "binding/boundary.hpp"
#include "binding/compat.hpp"
#include "binding/pyref.hpp"

namespace vextaro {

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* defaults;     // tuple, or None
    PyObject* kwdefaults;   // dict, or None
    PyObject* annotations;  // dict
    PyObject* text_signature;
};

int param_index(const FunctionSpec& spec, PyObject* keyword) {
    const int n = static_cast<int>(spec.params.size());
    for (int i = 0; i < n; ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, spec.params[i].name) == 0) return i;
    }
    return -1;
}

bool assign_keyword(const FunctionSpec& spec, PyObject* keyword, PyObject* value, BoundArgs& out) {
    if (!PyUnicode_Check(keyword)) {
        PyErr_SetString(PyExc_TypeError, "keywords must be strings");
        return false;
    }
    const int i = param_index(spec, keyword);
    if (i < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.qualname, keyword);
        return false;
    }
    if (out.obj[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", spec.qualname, spec.params[i].name);
        return false;
    }
    out.obj[i] = value;
    return true;
}

Py_ssize_t positional_count(const FunctionSpec& spec) {
    return static_cast<Py_ssize_t>(spec.params.size()) - spec.keyword_only;
}

void raise_too_many_positional(const FunctionSpec& spec, Py_ssize_t given) {
    const Py_ssize_t most = positional_count(spec);
    const Py_ssize_t least = most - spec.defaults;
    const char* was = given == 1 ? "was" : "were";
    if (least == most) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given", spec.qualname, most,
                     most == 1 ? "" : "s", given, was);
    } else {
        PyErr_Format(PyExc_TypeError, "%s() takes from %zd to %zd positional arguments but %zd %s given", spec.qualname,
                     least, most, given, was);
    }
}

void raise_missing(const FunctionSpec& spec, const BoundArgs& out) {
    const int required = static_cast<int>(positional_count(spec)) - spec.defaults;
    // A fixed buffer: building the message allocates nothing that could throw.
    char names[kMaxParams * 48] = "";
    size_t at = 0;
    auto append = [&](const char* text) {
        at += static_cast<size_t>(std::snprintf(names + at, at < sizeof names ? sizeof names - at : 0, "%s", text));
        at = std::min(at, sizeof names);
    };
    int missing = 0;
    for (int i = 0; i < required; ++i) {
        if (out.obj[i] == nullptr) ++missing;
    }
    for (int i = 0, seen = 0; i < required; ++i) {
        if (out.obj[i] != nullptr) continue;
        ++seen;
        if (seen > 1) append((seen == missing) ? (missing > 2 ? ", and " : " and ") : ", ");
        append("'");
        append(spec.params[i].name);
        append("'");
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %d required positional argument%s: %s", spec.qualname, missing,
                 missing == 1 ? "" : "s", names);
}

// operator.index's integers, bool excepted: True is no level of anything.
bool index_in_range(PyObject* o, const Param& p, int32_t& value) {
    if (PyBool_Check(o) || !PyIndex_Check(o)) {
        PyErr_Format(PyExc_TypeError, "%s must be an integer or None, not %.200s", p.name, Py_TYPE(o)->tp_name);
        return false;
    }
    Ref index = Ref::steal(PyNumber_Index(o));
    if (!index) return false;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || v < p.low || v > p.high) {
        PyErr_Format(PyExc_ValueError, "%s must be from %d to %d, not %R", p.name, static_cast<int>(p.low),
                     static_cast<int>(p.high), index.get());
        return false;
    }
    value = static_cast<int32_t>(v);
    return true;
}

bool apply_checks(const FunctionSpec& spec, BoundArgs& out) {
    const int n = static_cast<int>(spec.params.size());
    for (int i = 0; i < n; ++i) {
        const Param& p = spec.params[i];
        PyObject* o = out.obj[i];
        switch (p.check) {
            case Check::Any: break;
            case Check::Int32: {
                auto v = to_int32(o);
                if (!v) return false;
                out.i32[i] = *v;
                break;
            }
            case Check::Exact:
            case Check::ExactOrNone:
                if (!check_exact_type(o, p.type, p.name, p.check == Check::ExactOrNone)) return false;
                break;
            case Check::Receiver:
                if (!PyObject_TypeCheck(o, p.type)) {
                    PyErr_Format(PyExc_TypeError,
                                 "descriptor '%s' for '%.200s' objects doesn't apply to a '%.200s' object", spec.name,
                                 p.type->tp_name, Py_TYPE(o)->tp_name);
                    return false;
                }
                break;
            case Check::IndexOrNone:
                if (o == Py_None) break;
                if (!index_in_range(o, p, out.i32[i])) return false;
                break;
        }
    }
    return true;
}

// A hook that calls the module again within every call meets the host's
// recursion limit here, as a RecursionError: on PyPy the C-API layer would
// otherwise run out of stack inside some call of ours, and end the process.
PyObject* run_body(const FunctionSpec& spec, const BoundArgs& bound) {
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    PyObject* result = spec.body(bound);
    Py_LeaveRecursiveCall();
    return result;
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const FunctionSpec& spec = *reinterpret_cast<FunctionObject*>(self)->spec;
    return at_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        BoundArgs bound;
        if (!bind_arguments(spec, args, PyVectorcall_NARGS(nargsf), kwnames, nullptr, bound)) return nullptr;
        return run_body(spec, bound);
    });
}

PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    const FunctionSpec& spec = *reinterpret_cast<FunctionObject*>(self)->spec;
    return at_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        BoundArgs bound;
        if (!bind_arguments(spec, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), nullptr, kwargs, bound))
            return nullptr;
        return run_body(spec, bound);
    });
}

// Binds like the host's own functions: looked up on an instance, a method object.
PyObject* function_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return compat::new_ref(self);
    return PyMethod_New(self, obj);
}

void function_dealloc(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_XDECREF(f->name);
    Py_XDECREF(f->qualname);
    Py_XDECREF(f->module);
    Py_XDECREF(f->defaults);
    Py_XDECREF(f->kwdefaults);
    Py_XDECREF(f->annotations);
    Py_XDECREF(f->text_signature);
    Py_TYPE(self)->tp_free(self);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", reinterpret_cast<FunctionObject*>(self)->qualname, self);
}

template <PyObject* FunctionObject::*Field>
PyObject* get_field(PyObject* self, void*) {
    return compat::new_ref(reinterpret_cast<FunctionObject*>(self)->*Field);
}

PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyGetSetDef function_getset[] = {
    {"__name__", get_field<&FunctionObject::name>, nullptr, nullptr, nullptr},
    {"__qualname__", get_field<&FunctionObject::qualname>, nullptr, nullptr, nullptr},
    {"__module__", get_field<&FunctionObject::module>, nullptr, nullptr, nullptr},
    {"__defaults__", get_field<&FunctionObject::defaults>, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_field<&FunctionObject::kwdefaults>, nullptr, nullptr, nullptr},
    {"__annotations__", get_field<&FunctionObject::annotations>, nullptr, nullptr, nullptr},
    {"__text_signature__", get_field<&FunctionObject::text_signature>, nullptr, nullptr, nullptr},
    {"__doc__", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject FunctionType = compat::static_type();

// "(self, coords)" style, so that the host's signature introspection works.
Ref text_signature(const FunctionSpec& spec) {
    Ref pieces = Ref::steal(PyList_New(0));
    if (!pieces) return {};
    const int n = static_cast<int>(spec.params.size()), positional = n - spec.keyword_only;
    for (int i = 0; i < n; ++i) {
        if (i == positional) {
            Ref star = Ref::steal(PyUnicode_FromString("*"));
            if (!star || PyList_Append(pieces.get(), star.get()) < 0) return {};
        }
        Ref piece = Ref::steal(
            PyUnicode_FromFormat("%s%s", spec.params[i].name, i >= positional - spec.defaults ? "=None" : ""));
        if (!piece || PyList_Append(pieces.get(), piece.get()) < 0) return {};
    }
    Ref separator = Ref::steal(PyUnicode_FromString(", "));
    Ref joined = separator ? Ref::steal(PyUnicode_Join(separator.get(), pieces.get())) : Ref();
    return joined ? Ref::steal(PyUnicode_FromFormat("(%U)", joined.get())) : Ref();
}

}  // namespace

bool bind_arguments(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject* kwargs, BoundArgs& out) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(spec.params.size()), positional = positional_count(spec);
    // Every argument by position: the call of every pixel access.
    if (nargs == positional && kwnames == nullptr && (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0)) {
        std::copy_n(args, positional, out.obj);
        std::fill(out.obj + positional, out.obj + n, Py_None);
        return apply_checks(spec, out);
    }
    if (nargs > positional) {
        raise_too_many_positional(spec, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out.obj[i] = args[i];
    for (Py_ssize_t i = nargs; i < n; ++i) out.obj[i] = nullptr;

    if (kwnames != nullptr) {
        const Py_ssize_t nk = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nk; ++k) {
            if (!assign_keyword(spec, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
        }
    } else if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!assign_keyword(spec, key, value, out)) return false;
        }
        for (Py_ssize_t i = nargs; i < n; ++i) out.from_dict[i] = Ref::borrow(out.obj[i]);
    }

    if (nargs < n) {
        const Py_ssize_t required = positional - spec.defaults;
        for (Py_ssize_t i = 0; i < required; ++i) {
            if (out.obj[i] == nullptr) {
                raise_missing(spec, out);
                return false;
            }
        }
        for (Py_ssize_t i = required; i < n; ++i) {
            if (out.obj[i] == nullptr) out.obj[i] = Py_None;
        }
    }
    return apply_checks(spec, out);
}

PyObject* call_directly(const FunctionSpec& spec, std::span<PyObject* const> args, PyObject* kwnames) {
    BoundArgs bound;
    const Py_ssize_t nargs = static_cast<Py_ssize_t>(args.size()) - (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    if (!bind_arguments(spec, args.data(), nargs, kwnames, nullptr, bound)) return nullptr;
    return run_body(spec, bound);
}

bool ready_function_type() {
    if (FunctionType.tp_flags & Py_TPFLAGS_READY) return true;
    FunctionType.tp_name = "Vextaro.simpleImage_ext.function";
    FunctionType.tp_basicsize = sizeof(FunctionObject);
    FunctionType.tp_dealloc = function_dealloc;
    FunctionType.tp_repr = function_repr;
    FunctionType.tp_call = function_call;
    FunctionType.tp_descr_get = function_get;
    FunctionType.tp_getset = function_getset;
    // Lets the host call a method found on an instance without making a bound method.
    FunctionType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_METHOD_DESCRIPTOR;
    if constexpr (compat::kHasVectorcall) {
        FunctionType.tp_flags |= compat::kVectorcallFlag;
        FunctionType.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    }
    return PyType_Ready(&FunctionType) == 0;
}

PyObject* make_function(const FunctionSpec& spec, PyObject* module_name) {
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) return nullptr;
    for (const Param& p : spec.params) {
        if (p.annotation == nullptr) continue;
        Ref text = Ref::steal(PyUnicode_FromString(p.annotation));
        if (!text || PyDict_SetItemString(annotations.get(), p.name, text.get()) < 0) return nullptr;
    }
    if (spec.returns != nullptr) {
        Ref text = Ref::steal(PyUnicode_FromString(spec.returns));
        if (!text || PyDict_SetItemString(annotations.get(), "return", text.get()) < 0) return nullptr;
    }
    Ref defaults = Ref::borrow(Py_None);
    if (spec.defaults > 0) {
        defaults = Ref::steal(PyTuple_New(spec.defaults));
        if (!defaults) return nullptr;
        for (int i = 0; i < spec.defaults; ++i) PyTuple_SET_ITEM(defaults.get(), i, compat::new_ref(Py_None));
    }
    Ref kwdefaults = Ref::borrow(Py_None);
    if (spec.keyword_only > 0) {
        kwdefaults = Ref::steal(PyDict_New());
        if (!kwdefaults) return nullptr;
        for (size_t i = spec.params.size() - spec.keyword_only; i < spec.params.size(); ++i) {
            if (PyDict_SetItemString(kwdefaults.get(), spec.params[i].name, Py_None) < 0) return nullptr;
        }
    }
    Ref name = Ref::steal(PyUnicode_InternFromString(spec.name));
    Ref qualname = Ref::steal(PyUnicode_FromString(spec.qualname));
    Ref signature = text_signature(spec);
    if (!name || !qualname || !signature) return nullptr;

    FunctionObject* f = PyObject_New(FunctionObject, &FunctionType);
    if (f == nullptr) return nullptr;
    f->vectorcall = function_vectorcall;
    f->spec = &spec;
    f->name = name.release();
    f->qualname = qualname.release();
    f->module = compat::new_ref(module_name);
    f->defaults = defaults.release();
    f->kwdefaults = kwdefaults.release();
    f->annotations = annotations.release();
    f->text_signature = signature.release();
    return reinterpret_cast<PyObject*>(f);
}

}  // namespace vextaro
