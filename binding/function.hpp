// Function objects of the module: they carry the attributes of the host's own
// functions (name, qualified name, module, defaults, text annotations), bind as
// methods when stored on a class, and bind their arguments under one set of rules.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>
#include <string_view>
#include <utility>

#include "binding/pyref.hpp"

namespace vextaro {

inline constexpr int kMaxParams = 8;

// What a parameter's argument must be; tested in parameter order before the body runs.
enum class Check : uint8_t {
    Any,
    Int32,        // converted to a signed 32-bit integer
    Exact,        // an instance of exactly `type`
    ExactOrNone,  // None, or an instance of exactly `type`
    Receiver,     // the instance a method is called on: `type` or a subclass
    IndexOrNone,  // None, or an integer as operator.index takes it (bool refused) from `low` to `high`
};

struct Param {
    const char* name;
    Check check = Check::Any;
    PyTypeObject* type = nullptr;
    const char* annotation = nullptr;
    int32_t low = 0, high = 0;  // IndexOrNone's range
};

// Arguments after binding: references in parameter order (None for a keyword-only
// one not given), and at the same index the converted value of every Int32 parameter
// and of every IndexOrNone one not None. Positional arguments are the caller's to
// keep alive; values from a keyword dict are held here, since code that runs during
// the call (an __int__, a __len__) could empty that dict. A body reads them by the
// names of an enumeration of its parameters, declared beside its Param table and
// checked against it name by name (named_as), so that a reordered table cannot
// hand a body the wrong argument.
struct BoundArgs {
    PyObject* obj[kMaxParams];
    int32_t i32[kMaxParams];
    Ref from_dict[kMaxParams];

    template <typename Name>
    PyObject* operator[](Name n) const {
        return obj[static_cast<int>(n)];
    }
    template <typename Name>
    int32_t int32(Name n) const {
        return i32[static_cast<int>(n)];
    }
};

// The number of parameters an enumeration names, for checking it against its table.
template <typename Name>
constexpr size_t param_count() {
    return static_cast<size_t>(Name::count);
}

// The name of the enumerator V, as the compiler spells it in this function's name.
template <auto V>
constexpr std::string_view enumerator_name() {
    constexpr std::string_view signature = __PRETTY_FUNCTION__;
    constexpr size_t from = signature.find("V = ") + 4;
    constexpr size_t to = signature.find_first_of(";]", from);
    constexpr std::string_view value = signature.substr(from, to - from);
    return value.substr(value.rfind("::") + 2);
}

// Whether `table` names its parameters as the enumeration `Name` a body reads
// them by, in its order: every parameter, keyword-only ones included (`leading`
// for a table that is the first part of the enumeration, as getPixel's is of
// putPixel's), within kMaxParams.
template <typename Name, size_t N>
consteval bool named_as(const Param (&table)[N], bool leading = false) {
    if (N > kMaxParams || (leading ? N > param_count<Name>() : N != param_count<Name>())) return false;
    return [&]<size_t... I>(std::index_sequence<I...>) {
        return ((enumerator_name<static_cast<Name>(I)>() == std::string_view(table[I].name)) && ...);
    }
    (std::make_index_sequence<N>());
}

enum class Kind : uint8_t { Function, Method, StaticMethod, ClassMethod };

struct FunctionSpec {
    const char* name;
    const char* qualname;
    Kind kind;
    std::span<const Param> params;  // the receiver, if any, first; the keyword-only ones last
    int defaults;                   // how many trailing positional parameters default to None
    const char* returns;            // return annotation, or nullptr
    PyObject* (*body)(const BoundArgs&);
    int keyword_only = 0;  // how many parameters, after those, are keyword-only, each defaulting to None
};

// Binds a call's arguments to `spec`'s parameters and applies their checks.
// Keywords come either as vectorcall names with values after the positionals,
// or as a dict; at most one of the two is given.
bool bind_arguments(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject* kwargs, BoundArgs& out);

// `spec`'s body on `args`, bound and checked as a call through Python binds and
// checks them: for the module's functions calling one another. `kwnames` names
// the last of `args` as keywords, as in a vectorcall, or is nullptr.
PyObject* call_directly(const FunctionSpec& spec, std::span<PyObject* const> args, PyObject* kwnames = nullptr);

bool ready_function_type();

// A new function object for `spec`, with `module_name` as its __module__.
PyObject* make_function(const FunctionSpec& spec, PyObject* module_name);

}  // namespace vextaro
