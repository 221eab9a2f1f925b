#include "binding/output_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>

#include "binding/namespace.hpp"
#include "binding/process.hpp"
#include "binding/stream.hpp"

namespace vextaro {

namespace {

// A name in `folder` for the new file: hidden, and unlike any other save's.
char* temporary_name(const char* folder, size_t folder_length) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const unsigned salt = static_cast<unsigned>(now.tv_nsec) ^ (static_cast<unsigned>(getpid()) << 12) ^
                          (process_state.temporary_files.fetch_add(1) * 2654435761u);
    const size_t size = folder_length + 32;
    auto* name = static_cast<char*>(std::malloc(size));
    if (name != nullptr)
        std::snprintf(name, size, "%.*s.vextaro-%08x.tmp", static_cast<int>(folder_length), folder, salt);
    return name;
}

// The folder part of `path`, with its slash ("" for a bare name).
size_t folder_length(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash == nullptr ? 0 : static_cast<size_t>(slash - path + 1);
}

// What the host's stat (or lstat) finds at `path`: the caller's, or nothing with
// `missing` telling whether the path names nothing (any other failure clears).
struct Facts {
    unsigned long mode = 0, links = 0, uid = 0, gid = 0;
};
std::optional<Facts> facts_of(PyObject* stat, PyObject* path, bool& missing) {
    Ref result = Ref::steal(PyObject_CallOneArg(stat, path));
    missing = !result && PyErr_ExceptionMatches(PyExc_FileNotFoundError);
    Facts facts;
    const struct {
        const char* name;
        unsigned long* into;
    } fields[] = {{"st_mode", &facts.mode}, {"st_nlink", &facts.links}, {"st_uid", &facts.uid}, {"st_gid", &facts.gid}};
    for (const auto& field : fields) {
        Ref value = result ? Ref::steal(PyObject_GetAttrString(result.get(), field.name)) : Ref();
        *field.into = value ? PyLong_AsUnsignedLong(value.get()) : 0;
        if (!value || PyErr_Occurred()) {
            PyErr_Clear();
            return std::nullopt;
        }
    }
    return facts;
}

}  // namespace

bool OutputFile::open_in_place(PyObject* path) {
    stream_ = Ref::steal(PyObject_CallFunction(host.open, "Osi", path, "wb", 0));
    return static_cast<bool>(stream_);
}

bool OutputFile::open(PyObject* path) {
    path_ = Ref::borrow(path);
    // A number is a file descriptor to open(), written in place.
    if (PyNumber_Check(path)) return open_in_place(path);
    // The file system path, asked for once, as open() asks: an object whose
    // __fspath__ answers differently each time is held to its first answer.
    Ref fspath = Ref::steal(PyOS_FSPath(path));
    PyObject* converted = nullptr;
    if (!fspath || !PyUnicode_FSConverter(fspath.get(), &converted)) return false;
    path_ = std::move(fspath);
    path = path_.get();
    Ref encoded = Ref::steal(converted);
    const char* given = PyBytes_AS_STRING(encoded.get());
    bool missing = false;
    const auto st = facts_of(host.stat, encoded.get(), missing);
    if (!st) {
        bool no_link = false;
        // A missing folder, a dangling link, no permission: open() says what it says.
        if (!missing || facts_of(host.lstat, encoded.get(), no_link) || !no_link) return open_in_place(path);
        target_.reset(strdup(given));
    } else {
        if (!S_ISREG(st->mode) || st->links > 1) return open_in_place(path);
        // Refused where open() would refuse it (a read-only file in a writable folder).
        const int probe = ::open(given, O_WRONLY | O_CLOEXEC);
        if (probe < 0) return open_in_place(path);
        ::close(probe);
        target_.reset(realpath(given, nullptr));
    }
    if (!target_) return PyErr_NoMemory(), false;
    const char* target = target_.get();
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary_.reset(temporary_name(target, folder_length(target)));
        if (!temporary_) return PyErr_NoMemory(), false;
        // Mode 0666 less the umask, as open(path, "wb") gives a new file.
        fd = ::open(temporary_.get(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        temporary_.reset();
        return open_in_place(path);
    }
    if (st) {
        // Owner and group where the process may set them, then the permission bits
        // (a change of owner clears the set-user-ID bit).
        const auto uid = static_cast<uid_t>(st->uid);
        const auto gid = static_cast<gid_t>(st->gid);
        if (fchown(fd, uid, gid) != 0) (void)!fchown(fd, static_cast<uid_t>(-1), gid);
        (void)!fchmod(fd, static_cast<mode_t>(st->mode & 07777));
    }
    stream_ = Ref::steal(PyObject_CallFunction(host.open, "isi", fd, "wb", 0));
    if (!stream_) {
        ::close(fd);
        discard();
        return false;
    }
    return true;
}

bool OutputFile::discard() {
    if (temporary_) {
        unlink(temporary_.get());
        temporary_.reset();
    }
    return false;
}

bool OutputFile::finish() {
    Ref stream = std::move(stream_);
    if (!close_stream(stream.get())) return discard();
    if (!temporary_) return true;
    if (rename(temporary_.get(), target_.get()) != 0) {
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path_.get());
        return discard();
    }
    temporary_.reset();
    return true;
}

OutputFile::~OutputFile() {
    // A thread that the exiting interpreter unwinds holds no lock: its stream is left open.
    if (stream_ && !interpreter_exiting()) close_stream(stream_.get());
    discard();
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
