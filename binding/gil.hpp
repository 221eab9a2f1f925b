// Lets other threads run while the module works on bytes alone.
#pragma once

#include <Python.h>

#include <utility>

namespace vextaro {

// Runs `work` with the interpreter lock released. `work` must not touch Python
// objects, and the buffers it reads or writes must be ones no other thread can
// resize meanwhile (new ones, or ones held through an exported buffer).
template <typename Work>
auto without_gil(Work&& work) {
    PyThreadState* state = PyEval_SaveThread();
    auto result = std::forward<Work>(work)();
    PyEval_RestoreThread(state);
    return result;
}

}  // namespace vextaro
