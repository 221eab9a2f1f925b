// The argument rules every public operation shares: signed 32-bit integers,
// exact built-in types, and the wording of unpacking errors.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

#include "binding/pyref.hpp"

namespace vextaro {

// Converts under the module's integer rule; nullopt with an exception set on failure.
std::optional<int32_t> to_int32(PyObject* o);

// Checks that `o` is exactly `type` (or None where `none_ok`); raises the
// argument-type TypeError naming `param` otherwise.
bool check_exact_type(PyObject* o, PyTypeObject* type, const char* param, bool none_ok);

// Unpacks `value` into exactly `n` items as the host's `a, b, c = value` would:
// a list or tuple by its length, anything else by iterating.
bool unpack_exactly(PyObject* value, Ref* items, Py_ssize_t n);

// Raises the ValueError for unpacking `got` items where `expected` were wanted.
void raise_unpack_error(Py_ssize_t got, Py_ssize_t expected);

}  // namespace vextaro
