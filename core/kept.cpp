#include "core/kept.hpp"

#include <Python.h>

#include "binding/pyref.hpp"
#include "png/allocation.hpp"

namespace vextaro {

namespace {

constexpr const char* kCapsuleName = "Vextaro.simpleImage_ext.kept";

// An exiting interpreter clears the states of daemon threads that may be
// inflating into their buffer that moment: a lent buffer is left to its borrower.
void free_kept(PyObject* capsule) {
    auto* kept = static_cast<KeptBuffer*>(PyCapsule_GetPointer(capsule, kCapsuleName));
    if (kept != nullptr && kept->lent) {
        kept->orphaned = true;
        return;
    }
    destroy(kept);
}

}  // namespace

// In the thread state's dict rather than a thread_local: the C++ runtime makes
// a loaded library's thread_local on the thread's first use, and a failure
// there ends the process.
KeptBuffer* this_threads_kept_buffer() {
    PyObject* dict = PyThreadState_GetDict();
    Ref key = dict ? Ref::steal(PyUnicode_InternFromString(kCapsuleName)) : Ref();
    PyObject* found = key ? PyDict_GetItemWithError(dict, key.get()) : nullptr;
    auto* kept = found ? static_cast<KeptBuffer*>(PyCapsule_GetPointer(found, kCapsuleName)) : nullptr;
    if (kept != nullptr || found != nullptr || !key || PyErr_Occurred()) {
        PyErr_Clear();
        return kept;
    }
    kept = make<KeptBuffer>().release();
    Ref capsule = kept ? Ref::steal(PyCapsule_New(kept, kCapsuleName, free_kept)) : Ref();
    if (!capsule) destroy(kept);
    if (!capsule || PyDict_SetItem(dict, key.get(), capsule.get()) < 0) {
        PyErr_Clear();
        return nullptr;
    }
    return kept;
}

}  // namespace vextaro
