// Everything that differs between the hosts (CPython 3.9-3.13, PyPy's cpyext)
// lives here, so the rest of the module is written once.
#pragma once

#include <Python.h>
#if !defined(PYPY_VERSION) && PY_VERSION_HEX < 0x030B0000
#include <longintrepr.h>
#endif

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>

// PyPy frees cpyext objects from its collector, a link at a time, so deep
// chains never recurse there and it has no trashcan.
#if defined(PYPY_VERSION)
#define VEXTARO_TRASHCAN_BEGIN(op, dealloc) {
#define VEXTARO_TRASHCAN_END }
#else
#define VEXTARO_TRASHCAN_BEGIN(op, dealloc) Py_TRASHCAN_BEGIN(op, dealloc)
#define VEXTARO_TRASHCAN_END Py_TRASHCAN_END
#endif

namespace vextaro::compat {

#if defined(PYPY_VERSION)
// cpyext calls tp_call only; the vectorcall slot would never be used.
inline constexpr bool kHasVectorcall = false;
#else
inline constexpr bool kHasVectorcall = true;
#endif

#ifdef Py_TPFLAGS_HAVE_VECTORCALL
inline constexpr unsigned long kVectorcallFlag = Py_TPFLAGS_HAVE_VECTORCALL;
#elif defined(_Py_TPFLAGS_HAVE_VECTORCALL)
inline constexpr unsigned long kVectorcallFlag = _Py_TPFLAGS_HAVE_VECTORCALL;
#else
inline constexpr unsigned long kVectorcallFlag = 0;
#endif

// PyPy's C-API layer reports an allocation of its own that failed as a
// SystemError whose text is the MemoryError's repr: raised as a MemoryError.
inline void report_lack_of_memory_as_such() {
#if defined(PYPY_VERSION)
    if (!PyErr_ExceptionMatches(PyExc_SystemError)) return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyObject* text = value != nullptr ? PyObject_Str(value) : nullptr;
    const char* chars = text != nullptr ? PyUnicode_AsUTF8(text) : nullptr;
    const bool memory = chars != nullptr && std::strncmp(chars, "<MemoryError object at ", 23) == 0;
    Py_XDECREF(text);
    if (memory) {
        Py_XDECREF(type), Py_XDECREF(value), Py_XDECREF(traceback);
        PyErr_NoMemory();
        return;
    }
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
#endif
}

// Py_NewRef does not exist on PyPy.
inline PyObject* new_ref(PyObject* o) {
    Py_INCREF(o);
    return o;
}

// An int for a 32-bit value. PyPy's PyLong_FromLong makes a big-int object, on
// which arithmetic in JIT-compiled Python stays slow; from a double (exact
// for every 32-bit value) it makes the machine-word int that Python code gets.
inline PyObject* new_int(int32_t value) {
#if defined(PYPY_VERSION)
    return PyLong_FromDouble(value);
#else
    return PyLong_FromLong(value);
#endif
}

// An empty static type with the header PyVarObject_HEAD_INIT gives it, so that
// only the slots a type uses need naming.
inline PyTypeObject static_type() {
    PyTypeObject type{};
    type.ob_base = PyVarObject{PyObject_HEAD_INIT(nullptr) 0};
    return type;
}

// Identifies the interpreter that is running; PyPy has only one.
inline int64_t current_interpreter_id() {
#if defined(PYPY_VERSION)
    return 0;
#else
    return PyInterpreterState_GetID(PyInterpreterState_Get());
#endif
}

// The value of an exact int (bool included) that fits in 64 bits. Pixel access
// reads two per call, so single-digit ints are read in place where the host
// lets us; anything else takes the host's conversion.
inline std::optional<int64_t> exact_int_value(PyObject* o) {
    if (!PyLong_CheckExact(o) && !PyBool_Check(o)) return std::nullopt;
#if !defined(PYPY_VERSION) && PY_VERSION_HEX >= 0x030C0000
    auto* number = reinterpret_cast<PyLongObject*>(o);
    if (PyUnstable_Long_IsCompact(number)) return PyUnstable_Long_CompactValue(number);
#elif !defined(PYPY_VERSION)
    const Py_ssize_t size = Py_SIZE(o);
    const auto digit = static_cast<int64_t>(reinterpret_cast<PyLongObject*>(o)->ob_digit[0]);
    if (size == 0) return 0;
    if (size == 1) return digit;
    if (size == -1) return -digit;
#endif
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow != 0) return std::nullopt;
    return v;
}

// A new bytearray of `size` bytes, their values unspecified. PyPy's
// bytearray(n) builds a list and copies it, and growing one extends it with a
// bytes object of the new size: both peak at twice the memory and fill a byte
// at a time. Repeating a block allocates the storage once and copies whole
// blocks; the tail past `size` is cut off in place. CPython 3.10 and 3.11
// mishandle a failed allocation in PyByteArray_FromStringAndSize (a stray
// SystemError from a half-made object), so there an empty one is grown.
inline PyObject* sized_bytearray(Py_ssize_t size) {
#if defined(PYPY_VERSION)
    static const char zeros[4096] = {};
    constexpr Py_ssize_t kBlock = sizeof zeros;
    if (size <= kBlock) return PyByteArray_FromStringAndSize(zeros, size);
    PyObject* block = PyByteArray_FromStringAndSize(zeros, kBlock);
    PyObject* array = block ? PySequence_Repeat(block, size / kBlock + (size % kBlock != 0)) : nullptr;
    Py_XDECREF(block);
#else
    PyObject* array = PyByteArray_FromStringAndSize(nullptr, 0);
#endif
    if (array != nullptr && PyByteArray_Resize(array, size) < 0) Py_CLEAR(array);
    return array;
}

// glibc maps each request at or above its mapping threshold afresh, and raises
// that threshold only to the size of a mapped block it frees. A buffer shrunk
// by realloc is freed at its smaller size, so every open of an image of that
// size would map, fault in and zero its buffer anew (a tenth of an RGBA open).
// Freeing one untouched block of the full size, once per size, raises the
// threshold as freeing the buffer whole would have: later buffers come from the
// heap, whose pages stay mapped between opens. Past glibc's ceiling for the
// threshold (32 MiB on 64-bit) nothing would change.
inline void raise_mapping_threshold(size_t size) {
#if defined(__GLIBC__)
    static std::atomic<size_t> raised{0};
    if (size > (size_t{32} << 20) || size <= raised.load(std::memory_order_relaxed)) return;
    raised.store(size, std::memory_order_relaxed);
    // A page over, so that a request of `size` stays below the new threshold.
    void* volatile block = std::malloc(size + 4096);
    std::free(block);
#else
    (void)size;
#endif
}

// Shortens a bytearray that no one else has seen yet to `size` bytes. CPython's
// own resize keeps the whole allocation unless it shrinks by half, so an RGBA
// image would hold a quarter of its pixel buffer unused for its whole life:
// there, the block is reallocated here, with the allocator bytearray itself
// uses for its bytes on that version. PyPy's resize gives the memory back, and
// versions not known here get the host's resize.
inline bool shrink_fresh_bytearray(PyObject* array, Py_ssize_t size) {
#if !defined(PYPY_VERSION) && PY_VERSION_HEX < 0x030E0000
    auto* a = reinterpret_cast<PyByteArrayObject*>(array);
    if (a->ob_exports == 0 && a->ob_start == a->ob_bytes && size < Py_SIZE(array) && size + 1 < a->ob_alloc) {
        const size_t block = static_cast<size_t>(size) + 1, was = static_cast<size_t>(a->ob_alloc);
#if PY_VERSION_HEX >= 0x030D0000
        auto* bytes = static_cast<char*>(PyMem_Realloc(a->ob_bytes, block));
#else
        auto* bytes = static_cast<char*>(PyObject_Realloc(a->ob_bytes, block));
#endif
        if (bytes != nullptr) {
            a->ob_bytes = a->ob_start = bytes;
            a->ob_alloc = size + 1;
            Py_SET_SIZE(array, size);
            bytes[size] = '\0';
            raise_mapping_threshold(was);
            return true;
        }
    }
#endif
    return PyByteArray_Resize(array, size) == 0;
}

}  // namespace vextaro::compat
