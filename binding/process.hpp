// Everything the module keeps for the life of the process, in one record: made
// at import, never released (the module never tears anything down, and refuses
// a second interpreter), and, being process-wide, read by every thread. Beyond
// it the module keeps one working buffer per thread (core/kept.hpp) and
// nothing else between calls; in particular, a save's deflater is made and
// freed by that save.
//
// On PyPy, core/pypy_methods.cpp keeps three more for the process, made at
// import beside the record: the namespace of the pixel methods and open written
// in Python (core/pypy_methods.py), its table of the pixel views they keep, and
// the host's id(); every image's setters reach them. They stay there, where
// the setters read them: moved here, they made the setters' C frames deeper,
// which PyPy's own stack check at a low recursion limit does not survive.
//
// Process-wide too, but fixed and holding nothing of their own: the two static
// types (SimpleImage, core/image.cpp; the module's function type,
// binding/function.cpp), static as the C API's own types are, and the codecs'
// note of the CPU's instruction sets (png/, bmp/), taken at first use.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace vextaro {

// Interned method and attribute names, made once at import. Always called by
// these: PyPy turns any error raised while looking a method up by C string
// into AttributeError.
struct Names {
    PyObject* read;
    PyObject* seek;
    PyObject* close;
    PyObject* unpack;
    PyObject* pack;
    PyObject* decompress;
    PyObject* crc32;
    PyObject* error;
    PyObject* startswith;
    PyObject* join;
    PyObject* write;
    PyObject* compress;
    PyObject* get;
    PyObject* getitem;
    PyObject* int_;
    PyObject* obj;
};

// The host's built-in open and print, and its stat and lstat, captured at
// import: the module's own file handling and report line, whatever a caller
// rebinds later. (The C library's stat functions would tie the module to a
// newer C library than it otherwise needs.)
struct HostBuiltins {
    PyObject* open;
    PyObject* print;
    PyObject* stat;
    PyObject* lstat;
};

// How many module-level names a caller may rebind: core/hooks.hpp's Hook::count,
// checked there.
inline constexpr size_t kHookCount = 11;

struct ProcessState {
    // The one module object, once created, whether its initialisation completed,
    // and the interpreter it belongs to (core/module.cpp): a module keeps
    // references that only one interpreter may use.
    PyObject* module = nullptr;
    bool initialised = false;
    int64_t interpreter_id = -1;

    // The module's dict, where every operation looks up, at call time, the names
    // a caller may rebind (binding/namespace.cpp).
    PyObject* namespace_dict = nullptr;

    // Those names interned, in the order of core/hooks.hpp's Hook, what import
    // bound to each, and the class's decoder with its name (core/hooks.cpp):
    // whether a name is still the module's own is judged against these.
    PyObject* hook_names[kHookCount] = {};
    PyObject* hook_originals[kHookCount] = {};
    PyObject* stream_to_image_name = nullptr;
    PyObject* stream_to_image = nullptr;

    // Whether the host's zlib module runs on the zlib library linked here, read
    // at import (core/hooks.cpp): only then does compressing here make the
    // very bytes its compress would.
    bool host_zlib_is_ours = false;
};

// Set at import with the interpreter lock held.
extern constinit ProcessState process_state;
// Named apart, since nearly every operation uses them.
extern constinit Names names;
extern constinit HostBuiltins host;

}  // namespace vextaro
