// Lets other threads run while the module works on bytes alone.
#pragma once

#include <Python.h>

#include <utility>

namespace vextaro {

// Runs `work` with the interpreter lock released. `work` must not touch Python
// objects, and the buffers it reads or writes must be ones no other thread can
// resize meanwhile (new ones, or ones held through an exported buffer). The
// lock is taken back on every way out, a C++ exception included, so that the
// boundary that turns the exception into a Python one runs with the lock held.
template <typename Work>
auto without_gil(Work&& work) {
    struct Released {
        PyThreadState* state = PyEval_SaveThread();
        Released() = default;
        Released(const Released&) = delete;
        Released& operator=(const Released&) = delete;
        ~Released() { PyEval_RestoreThread(state); }
    } released;
    return std::forward<Work>(work)();
}

}  // namespace vextaro
