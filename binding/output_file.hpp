// Writing a file so that a failure at any byte (a full disk, a size limit, an
// exception, a signal) leaves the file that was there before as it was: the
// bytes go to a new file beside it, which replaces it only once complete.
#pragma once

#include <Python.h>

#include "binding/pyref.hpp"
#include "binding/replacement.hpp"

namespace vextaro {

class OutputFile {
public:
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    // Unless finished: closes the stream and removes the new file, keeping the
    // error that is set.
    ~OutputFile();

    // Succeeds or fails where the host's open(path, "wb") would, with its
    // exception, and with lack of space too: the old file stays as it was. A
    // symbolic link is followed: the file it names is replaced. Written in
    // place, as open(path, "wb") writes, is whatever a rename cannot replace
    // and keep what it is (binding/replacement.hpp says which).
    bool open(PyObject* path);

    // The host's unbuffered binary stream the bytes go to.
    PyObject* stream() const { return stream_.get(); }

    // The path as open() names it in its errors (what __fspath__ gave).
    PyObject* path() const { return path_.get(); }

    // Closes the stream and puts the new file in place.
    bool finish();

private:
    bool open_in_place();
    bool copy_in_place();
    bool fail();

    Ref path_;
    Ref stream_;
    Replacement replacement_;
    // Whether stream_ writes the new file rather than the target itself.
    bool renaming_ = false;
};

// Where the current exception is an OSError that names no file (a write that
// found the disk full), the same error naming `path`, as the caller gave it.
void name_path_in_error(PyObject* path);

}  // namespace vextaro
