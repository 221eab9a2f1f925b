// Replacing a file by renaming a new one over it, worked on by descriptor: the
// folder is opened once and every later step is relative to it, so that neither
// another thread's chdir nor a name another user swaps in redirects the save.
// Plain POSIX, no Python: the caller turns an errno into its exception.
#pragma once

#include <sys/types.h>

#include <climits>

namespace vextaro {

class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(Descriptor&& other) noexcept : fd_(other.release()) {}
    Descriptor& operator=(Descriptor&& other) noexcept;
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor();

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release();

private:
    int fd_ = -1;
};

// What a step comes to: done; write in place as open(path, "wb") would, as the
// guarantee cannot be kept for this file; or failed with errno set, the old
// file untouched.
enum class Step { done, in_place, failed };

class Replacement {
public:
    Replacement() = default;
    Replacement(const Replacement&) = delete;
    Replacement& operator=(const Replacement&) = delete;
    // Removes the new file unless it was put in place.
    ~Replacement();

    // Finds the file `path` names and makes the new, hidden one beside it. A
    // replacement gets the replaced file's owner, group, mode, ACL and
    // extended attributes before any byte is written; a new file gets what
    // open() gives one. in_place for what a rename would not keep as it is:
    // no regular file, several hard links, a folder the process cannot write,
    // an owner, mode or attribute it cannot give, a link the kernel makes
    // (/proc/self/fd/N); and for paths open() must judge (no folder, a
    // trailing slash, too many links).
    Step begin(const char* path);

    // The new file, open for reading and writing.
    int new_file() const { return new_file_.get(); }

    // Puts the new file where begin() found the old one, if the name still
    // refers to that file and the folder allows the rename. On in_place the
    // new file stays, for the caller to copy into whatever open() now finds.
    Step commit();

    // Removes the new file.
    void discard();

private:
    Step locate(const char* path);
    Step create_new_file(mode_t mode);
    Step exchange();

    Descriptor folder_, replaced_, new_file_;
    bool replacing_ = false;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    char name_[NAME_MAX + 1] = {};
    char temporary_[32] = {};
};

}  // namespace vextaro
