#include "binding/namespace.hpp"

#include <cstdarg>
#include <string>

#include "binding/compat.hpp"

namespace vextaro {

Names names{};
Originals originals{};

namespace {

PyObject* g_namespace = nullptr;  // the module's dict; kept for the process

bool intern(PyObject*& slot, const char* text) {
    if (slot == nullptr) slot = PyUnicode_InternFromString(text);
    return slot != nullptr;
}

bool keep(PyObject*& slot, PyObject* value) {
    if (value == nullptr) return false;
    Py_XDECREF(slot);
    slot = value;
    return true;
}

}  // namespace

bool init_names(PyObject* module) {
    g_namespace = compat::new_ref(PyModule_GetDict(module));
    return intern(names.PNG_SIGNATURE, "PNG_SIGNATURE") && intern(names._readChunk, "_readChunk") &&
           intern(names.struct_, "struct") && intern(names.zlib, "zlib") && intern(names.BytesIO, "BytesIO") &&
           intern(names.Path, "Path") && intern(names._streamToImage, "_streamToImage") &&
           intern(names.read, "read") && intern(names.seek, "seek") && intern(names.close, "close") &&
           intern(names.unpack, "unpack") && intern(names.pack, "pack") && intern(names.decompress, "decompress") &&
           intern(names.crc32, "crc32") && intern(names.error, "error") && intern(names.startswith, "startswith") &&
           intern(names.join, "join") && intern(names.write, "write") && intern(names.compress, "compress") &&
           intern(names.get, "get") && intern(names.getitem, "__getitem__") && intern(names._writePng, "_writePng") &&
           intern(names._writePngWithChunks, "_writePngWithChunks") && intern(names._writeBmp, "_writeBmp") &&
           intern(names._split_idat_payload, "_split_idat_payload") && intern(names._makeChunk, "_makeChunk") &&
           intern(names.obj, "obj");
}

PyObject* builtin(const char* name) {
    PyObject* value = PyDict_GetItemString(PyEval_GetBuiltins(), name);
    if (value == nullptr) {
        PyErr_Format(PyExc_ImportError, "the built-in %s is missing", name);
        return nullptr;
    }
    return compat::new_ref(value);
}

bool capture_originals(PyObject* module, PyObject* stream_to_image) {
    return keep(originals.zlib, PyObject_GetAttr(module, names.zlib)) &&
           keep(originals.zlib_compress, PyObject_GetAttr(originals.zlib, names.compress)) &&
           keep(originals.struct_, PyObject_GetAttr(module, names.struct_)) &&
           keep(originals.bytes_io, PyObject_GetAttr(module, names.BytesIO)) &&
           keep(originals.path, PyObject_GetAttr(module, names.Path)) &&
           keep(originals.read_chunk, PyObject_GetAttr(module, names._readChunk)) &&
           keep(originals.stream_to_image, compat::new_ref(stream_to_image)) &&
           keep(originals.open, builtin("open")) && keep(originals.print, builtin("print"));
}

Ref module_global(PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(g_namespace, name);
    if (value == nullptr) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        return {};
    }
    return Ref::borrow(value);
}

Ref call_method(PyObject* obj, PyObject* name, const char* format, ...) {
    Ref method = Ref::steal(PyObject_GetAttr(obj, name));
    if (!method) return method;
    // The parentheses make a tuple of any number of units, one included.
    const std::string tuple_format = "(" + std::string(format) + ")";
    va_list va;
    va_start(va, format);
    Ref args = Ref::steal(Py_VaBuildValue(tuple_format.c_str(), va));
    va_end(va);
    return args ? Ref::steal(PyObject_Call(method.get(), args.get(), nullptr)) : Ref();
}

}  // namespace vextaro
