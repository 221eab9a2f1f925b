#include "binding/output_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "binding/namespace.hpp"
#include "binding/process.hpp"
#include "binding/stream.hpp"

namespace vextaro {

namespace {

constexpr size_t kCopyPiece = size_t{1} << 20;

// The error errno names, for the path as the caller gave it.
bool raise_errno(PyObject* path) {
    if (errno == ENOMEM)
        PyErr_NoMemory();
    else
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
    return false;
}

}  // namespace

bool OutputFile::open_in_place() {
    replacement_.discard();
    stream_ = Ref::steal(PyObject_CallFunction(host.open, "Osi", path_.get(), "wb", 0));
    return static_cast<bool>(stream_);
}

bool OutputFile::open(PyObject* path) {
    path_ = Ref::borrow(path);
    // A number is a file descriptor to open(), written in place.
    if (PyNumber_Check(path)) return open_in_place();
    // The file system path, asked for once, as open() asks: an object whose
    // __fspath__ answers differently each time is held to its first answer.
    Ref fspath = Ref::steal(PyOS_FSPath(path));
    PyObject* converted = nullptr;
    if (!fspath || !PyUnicode_FSConverter(fspath.get(), &converted)) return false;
    path_ = std::move(fspath);
    Ref encoded = Ref::steal(converted);
    switch (replacement_.begin(PyBytes_AS_STRING(encoded.get()))) {
        case Step::in_place: return open_in_place();
        case Step::failed: return raise_errno(path_.get());
        case Step::done: break;
    }
    // The stream closes a descriptor of its own; the new file's stays for a copy.
    const int fd = fcntl(replacement_.new_file(), F_DUPFD_CLOEXEC, 0);
    if (fd < 0) {
        raise_errno(path_.get());
        return fail();
    }
    stream_ = Ref::steal(PyObject_CallFunction(host.open, "isi", fd, "wb", 0));
    if (!stream_) {
        ::close(fd);
        return fail();
    }
    renaming_ = true;
    return true;
}

bool OutputFile::fail() {
    replacement_.discard();
    return false;
}

// Where the new file cannot take the old one's place, what open(path, "wb")
// now finds gets its bytes.
bool OutputFile::copy_in_place() {
    struct FreeDeleter {
        void operator()(char* p) const { std::free(p); }
    };
    std::unique_ptr<char, FreeDeleter> buffer(static_cast<char*>(std::malloc(kCopyPiece)));
    if (!buffer) return PyErr_NoMemory(), fail();
    Ref out = Ref::steal(PyObject_CallFunction(host.open, "Osi", path_.get(), "wb", 0));
    if (!out) return fail();
    bool copied = true;
    for (off_t offset = 0; copied;) {
        const ssize_t got = pread(replacement_.new_file(), buffer.get(), kCopyPiece, offset);
        if (got == 0) break;
        if (got < 0) {
            copied = raise_errno(path_.get());
            break;
        }
        offset += got;
        Ref piece = Ref::steal(PyBytes_FromStringAndSize(buffer.get(), got));
        copied = piece && write_to(out.get(), piece.get());
    }
    copied = close_stream(out.get()) && copied;
    replacement_.discard();
    return copied;
}

bool OutputFile::finish() {
    Ref stream = std::move(stream_);
    if (!close_stream(stream.get())) return fail();
    if (!renaming_) return true;
    switch (replacement_.commit()) {
        case Step::done: return true;
        case Step::in_place: return copy_in_place();
        case Step::failed: raise_errno(path_.get()); return fail();
    }
    return true;
}

OutputFile::~OutputFile() {
    // A thread that the exiting interpreter unwinds holds no lock: its stream is left open.
    if (stream_ && !interpreter_exiting()) close_stream(stream_.get());
}

void name_path_in_error(PyObject* path) {
    if (!PyErr_ExceptionMatches(PyExc_OSError)) return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref error = Ref::steal(value);
    Ref kind = Ref::steal(type), trace = Ref::steal(traceback);
    Ref filename = Ref::steal(PyObject_GetAttrString(error.get(), "filename"));
    Ref number = filename ? Ref::steal(PyObject_GetAttrString(error.get(), "errno")) : Ref();
    Ref text = number ? Ref::steal(PyObject_GetAttrString(error.get(), "strerror")) : Ref();
    if (text && filename.get() == Py_None && number.get() != Py_None) {
        // OSError(errno, strerror, filename) makes the subclass the number calls for.
        Ref named = Ref::steal(PyObject_CallFunctionObjArgs(PyExc_OSError, number.get(), text.get(), path, nullptr));
        if (named) {
            PyException_SetContext(named.get(), error.release());
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(named.get())), named.get());
            return;
        }
    }
    PyErr_Clear();
    PyErr_Restore(kind.release(), error.release(), trace.release());
}

}  // namespace vextaro
