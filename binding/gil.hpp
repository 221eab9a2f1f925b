// Lets other threads run while the module works on bytes alone.
#pragma once

#include <Python.h>

#include <utility>

namespace vextaro {

// Runs `work` with the interpreter lock released. `work` must not touch Python
// objects, and the buffers it reads or writes must be ones no other thread can
// resize meanwhile (new ones, or ones held through an exported buffer). The
// lock is taken back on every way out. Taking it back may unwind the thread
// (see interpreter_exiting in binding/pyref.hpp), so no frame on the way up may be noexcept.
template <typename Work>
auto without_gil(Work&& work) {
    struct Released {
        PyThreadState* state = PyEval_SaveThread();
        Released() = default;
        Released(const Released&) = delete;
        Released& operator=(const Released&) = delete;
        ~Released() noexcept(false) { PyEval_RestoreThread(state); }
    } released;
    return std::forward<Work>(work)();
}

}  // namespace vextaro
