// Where C++ meets the interpreter. The rule: every way in from Python (a
// function call, a constructor, a type slot, module initialisation) runs its
// C++ through `at_boundary`, so that no C++ exception ever unwinds through the
// interpreter's C frames, which would end the process. A failed allocation
// becomes MemoryError, anything else an exception carrying its message. The
// codecs and this layer never throw (the first throw on a thread allocates the
// C++ runtime's thread-local state, and fails for good where memory is short):
// the catch is the last line, not the way errors travel. Not noexcept: the
// unwinding of a thread that CPython ends at exit passes through.
#pragma once

#include <Python.h>

#include <exception>
#include <new>

#include "binding/compat.hpp"

namespace vextaro {

// `call()`, or `failed` with a Python exception set when it threw.
template <typename Result, typename Call>
Result at_boundary(Result failed, Call&& call) {
    try {
        Result result = call();
        if (result == failed) compat::report_lack_of_memory_as_such();
        return result;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    }
    return failed;
}

}  // namespace vextaro
