// The module namespace as the operations see it at call time, and the host
// objects they capture once at import.
#pragma once

#include <Python.h>

#include "binding/pyref.hpp"

namespace vextaro {

// Interned strings, made once at import.
struct Names {
    PyObject* PNG_SIGNATURE;
    PyObject* _readChunk;
    PyObject* struct_;
    PyObject* zlib;
    PyObject* BytesIO;
    PyObject* Path;
    PyObject* _streamToImage;
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
    PyObject* _writePng;
    PyObject* _writePngWithChunks;
    PyObject* _writeBmp;
    PyObject* _split_idat_payload;
    PyObject* _makeChunk;
    PyObject* obj;
};
extern Names names;

// What import bound, to recognise a name that has not been rebound since.
struct Originals {
    PyObject* zlib;
    PyObject* struct_;
    PyObject* bytes_io;
    PyObject* path;
    PyObject* read_chunk;
    PyObject* stream_to_image;  // the function inside the static method
    PyObject* open;             // the host's built-in open and print, captured at import
    PyObject* print;
};
extern Originals originals;

// Makes the names; `module` is the module being initialised.
bool init_names(PyObject* module);
// Records the originals once the namespace and the class are complete.
bool capture_originals(PyObject* module, PyObject* stream_to_image);

// Whether `f` is the host zlib module's own function `name`, judged by what
// it is rather than by what was bound at import, which a patch made before
// the import would have been. Runs no code of the caller's.
bool is_host_zlib_function(PyObject* f, const char* name);

// A new reference to a built-in of the host; ImportError if it is missing.
PyObject* builtin(const char* name);

// The current value of a module-level name; NameError if it was deleted.
Ref module_global(PyObject* name);

// obj.name(*args), the arguments built by Py_BuildValue from `format` (one
// format unit per argument). Always by an interned name: PyPy turns any error
// raised while looking a method up by C string into AttributeError.
Ref call_method(PyObject* obj, PyObject* name, const char* format, ...);

}  // namespace vextaro
