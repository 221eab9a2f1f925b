// The length checks of the constructor and the writers, with the error they raise.
#pragma once

#include "core/layer.hpp"

#include <Python.h>

#include <cstdint>
#include <optional>

#include "core/errors.hpp"

namespace vextaro {

// `given` == `expected`, raising ValueError(message) otherwise; an expectation
// that does not exist (a size no buffer could hold) is never met.
inline bool length_matches(int64_t given, std::optional<int64_t> expected, const char* message) {
    if (expected && given == *expected) return true;
    raise(PyExc_ValueError, message);
    return false;
}

// len(o) == expected, as length_matches; false with the error of len() too.
inline bool length_is(PyObject* o, std::optional<int64_t> expected, const char* message) {
    const Py_ssize_t given = PyObject_Length(o);
    return given >= 0 && length_matches(given, expected, message);
}

}  // namespace vextaro
