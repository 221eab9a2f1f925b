// Where C++ meets the interpreter. The rule: every way in from Python (a
// function call, a constructor, a type slot, module initialisation) runs its
// C++ through `at_boundary`, so that no C++ exception ever unwinds through the
// interpreter's C frames, which would end the process. A failed allocation
// becomes MemoryError, anything else an exception carrying its message.
#pragma once

#include <Python.h>

#include <exception>
#include <new>

namespace vextaro {

// `call()`, or `failed` with a Python exception set when it threw.
template <typename Result, typename Call>
Result at_boundary(Result failed, Call&& call) noexcept {
    try {
        return call();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    }
    return failed;
}

}  // namespace vextaro
