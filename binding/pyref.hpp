// Owning reference to a Python object: every reference the module takes is
// held by one of these, so that early returns cannot leak.
#pragma once

#include <Python.h>

#include <cstddef>
#include <utility>

namespace vextaro {

// Whether the interpreter is exiting. CPython then ends a daemon thread that
// asks for the interpreter lock back by unwinding its stack (pthread_exit),
// without the lock: what our frames hold is left as C code leaves it.
inline bool interpreter_exiting() {
#if defined(PYPY_VERSION)
    return false;
#elif PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

class Ref {
public:
    Ref() = default;
    // Empty: a function returning a Ref can `return raise(...)`.
    Ref(std::nullptr_t) noexcept {}
    // Takes over a new reference (or nullptr, from a failed API call).
    static Ref steal(PyObject* o) { return Ref(o); }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* o) {
        Py_XINCREF(o);
        return Ref(o);
    }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(ptr_);
            ptr_ = std::exchange(other.ptr_, nullptr);
        }
        return *this;
    }
    ~Ref() {
        if (ptr_ != nullptr && !interpreter_exiting()) Py_DECREF(ptr_);
    }

    PyObject* get() const { return ptr_; }
    explicit operator bool() const { return ptr_ != nullptr; }
    // Hands the reference to the caller (a C API function that steals it, or a return value).
    PyObject* release() { return std::exchange(ptr_, nullptr); }

private:
    explicit Ref(PyObject* o) : ptr_(o) {}
    PyObject* ptr_ = nullptr;
};

}  // namespace vextaro
