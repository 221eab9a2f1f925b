// Where C++ meets the interpreter. The rule: every way in from Python (a
// function call, a constructor, a type slot, module initialisation) runs its
// C++ through `at_boundary`, so that a failure is reported the same way
// whichever allocator ran out. Nothing in the module throws or catches, and
// nothing allocates with operator new (png/allocation.hpp): the first throw on
// a thread makes the C++ runtime's thread-local state, and ends the process
// where memory is short. Failures travel as return values with a Python
// exception set. Not noexcept: the unwinding of a thread that CPython ends at
// exit passes through.
#pragma once

#include <Python.h>

#include "binding/compat.hpp"

namespace vextaro {

// `call()`; when that is `failed`, the exception it set, a failed allocation
// of PyPy's C-API layer reported as MemoryError.
template <typename Result, typename Call>
Result at_boundary(Result failed, Call&& call) {
    Result result = call();
    if (result == failed) compat::report_lack_of_memory_as_such();
    return result;
}

}  // namespace vextaro
