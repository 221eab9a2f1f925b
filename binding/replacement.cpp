#include "binding/replacement.hpp"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

namespace vextaro {

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.release();
    }
    return *this;
}

Descriptor::~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
}

int Descriptor::release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

namespace {

// As the kernel counts links when it resolves a path.
constexpr int kMaxLinks = 40;

std::atomic<uint32_t> temporary_files{0};

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
using Memory = std::unique_ptr<char, FreeDeleter>;

// statx rather than stat: glibc's stat family became plain symbols only in
// 2.33, and would tie the module to that C library.
struct Facts {
    unsigned mode = 0, links = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    dev_t device = 0;
    ino_t inode = 0;
};

bool facts_at(int folder, const char* name, int flags, Facts& facts) {
    struct statx found {};
    constexpr unsigned kWanted = STATX_TYPE | STATX_MODE | STATX_NLINK | STATX_UID | STATX_GID | STATX_INO;
    if (statx(folder, name, flags | AT_STATX_SYNC_AS_STAT, kWanted, &found) != 0) return false;
    facts = {found.stx_mode,
             found.stx_nlink,
             found.stx_uid,
             found.stx_gid,
             makedev(found.stx_dev_major, found.stx_dev_minor),
             static_cast<ino_t>(found.stx_ino)};
    return true;
}

bool facts_of(int fd, Facts& facts) { return facts_at(fd, "", AT_EMPTY_PATH, facts); }

// Lack of space is the one failure an in-place write must not follow: it would
// truncate the old file and then fail in turn.
Step refused() { return errno == ENOSPC || errno == EDQUOT || errno == ENOMEM ? Step::failed : Step::in_place; }

bool set_name(char (&into)[NAME_MAX + 1], const char* name) {
    const size_t length = std::strlen(name);
    if (length == 0 || length > NAME_MAX || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;
    std::memcpy(into, name, length + 1);
    return true;
}

// The folder part of `path` (through its last slash) opened for lookups only,
// relative to `base` unless absolute; its last component into `name`.
Descriptor open_folder_of(int base, char* path, char (&name)[NAME_MAX + 1]) {
    char* slash = std::strrchr(path, '/');
    if (!set_name(name, slash != nullptr ? slash + 1 : path)) return Descriptor();
    if (slash == nullptr) return Descriptor(openat(base, ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    slash[1] = '\0';
    return Descriptor(openat(base, path, O_PATH | O_DIRECTORY | O_CLOEXEC));
}

// The names in a file's extended attribute list, or none where the file
// system keeps none.
bool attribute_names(int fd, Memory& names, ssize_t& size) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        size = flistxattr(fd, nullptr, 0);
        if (size < 0) {
            size = 0;
            return errno == ENOTSUP;
        }
        if (size == 0) return true;
        names.reset(static_cast<char*>(std::malloc(static_cast<size_t>(size))));
        if (!names) return errno = ENOMEM, false;
        size = flistxattr(fd, names.get(), static_cast<size_t>(size));
        if (size >= 0) return true;
        if (errno != ERANGE) return false;
    }
    return false;
}

bool listed(const char* names, ssize_t size, const char* name) {
    for (const char* n = names; n < names + size; n += std::strlen(n) + 1)
        if (std::strcmp(n, name) == 0) return true;
    return false;
}

// The value of attribute `name` of `fd` into `value`; false where it has none.
bool attribute(int fd, const char* name, Memory& value, ssize_t& size) {
    size = fgetxattr(fd, name, nullptr, 0);
    if (size < 0) return false;
    value.reset(static_cast<char*>(std::malloc(static_cast<size_t>(size) + 1)));
    if (!value) return errno = ENOMEM, false;
    size = fgetxattr(fd, name, value.get(), static_cast<size_t>(size));
    return size >= 0;
}

// Gives `to` exactly the extended attributes of `from`, the POSIX ACL among
// them (a folder's default ACL may have given `to` one that `from` lacks).
bool copy_attributes(int from, int to) {
    Memory names, theirs;
    ssize_t size = 0, their_size = 0;
    if (!attribute_names(from, names, size) || !attribute_names(to, theirs, their_size)) return false;
    for (const char* n = theirs.get(); n != nullptr && n < theirs.get() + their_size; n += std::strlen(n) + 1)
        if (!listed(names.get(), size, n) && fremovexattr(to, n) != 0 && errno != ENODATA) return false;
    for (const char* n = names.get(); n != nullptr && n < names.get() + size; n += std::strlen(n) + 1) {
        Memory value, present;
        ssize_t value_size = 0, present_size = 0;
        if (!attribute(from, n, value, value_size)) {
            if (errno == ENODATA) continue;
            return false;
        }
        // A label the system gave the new file already (SELinux's) may not be the
        // process's to set.
        if (attribute(to, n, present, present_size) && present_size == value_size &&
            std::memcmp(present.get(), value.get(), static_cast<size_t>(value_size)) == 0)
            continue;
        if (fsetxattr(to, n, value.get(), static_cast<size_t>(value_size), 0) != 0) return false;
    }
    return true;
}

// Gives the new file `to` what the old one, `from`, is: owner, group, extended
// attributes and ACL, mode.
Step give_what_the_file_is(int from, int to, const Facts& old) {
    Facts now;
    if (!facts_of(to, now)) return refused();
    // The owner first: a change of owner clears set-user-ID bits and file capabilities.
    if ((now.uid != old.uid || now.gid != old.gid) && fchown(to, old.uid, old.gid) != 0) return refused();
    if (!copy_attributes(from, to)) return refused();
    // After the ACL, whose mask the group bits are: the old file's mode holds the same.
    if (fchmod(to, old.mode & 07777) != 0) return refused();
    // What the system quietly declined to give (a set-group-ID bit for a group the
    // process is not in) is only kept by writing in place.
    if (!facts_of(to, now)) return refused();
    return now.mode == old.mode && now.uid == old.uid && now.gid == old.gid ? Step::done : Step::in_place;
}

}  // namespace

Replacement::~Replacement() { discard(); }

void Replacement::discard() {
    if (temporary_[0] != '\0') unlinkat(folder_.get(), temporary_, 0);
    temporary_[0] = '\0';
    new_file_ = Descriptor();
}

Step Replacement::locate(const char* path) {
    Memory copy(strdup(path));
    if (!copy) return errno = ENOMEM, Step::failed;
    Descriptor folder = open_folder_of(AT_FDCWD, copy.get(), name_);
    if (!folder) return Step::in_place;
    // A link is followed a step at a time from the folder it is in, so that the
    // file found is the one later steps work on.
    for (int links = 0;; ++links) {
        Facts found;
        if (!facts_at(folder.get(), name_, AT_SYMLINK_NOFOLLOW, found)) {
            if (errno != ENOENT) return Step::in_place;
            break;
        }
        if (!S_ISLNK(found.mode)) {
            replacing_ = true;
            break;
        }
        // The kernel's own links (/proc/self/fd/N) lead where their text does not;
        // and in a sticky folder anyone may write, it follows only the links of the
        // folder's owner or of the process (fs.protected_symlinks): open() judges those.
        struct statfs system {};
        Facts where;
        if (fstatfs(folder.get(), &system) != 0 || system.f_type == PROC_SUPER_MAGIC ||
            !facts_of(folder.get(), where) ||
            ((where.mode & (S_ISVTX | S_IWOTH)) == (S_ISVTX | S_IWOTH) && found.uid != where.uid &&
             found.uid != geteuid()))
            return Step::in_place;
        char target[PATH_MAX];
        const ssize_t length = readlinkat(folder.get(), name_, target, sizeof target);
        if (links == kMaxLinks || length <= 0 || length == static_cast<ssize_t>(sizeof target)) return Step::in_place;
        target[length] = '\0';
        folder = open_folder_of(folder.get(), target, name_);
        if (!folder) return Step::in_place;
    }
    folder_ = std::move(folder);
    return Step::done;
}

Step Replacement::create_new_file(mode_t mode) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        const unsigned salt = static_cast<unsigned>(now.tv_nsec) ^ (static_cast<unsigned>(getpid()) << 12) ^
                              (temporary_files.fetch_add(1) * 2654435761u);
        std::snprintf(temporary_, sizeof temporary_, ".vextaro-%08x.tmp", salt);
        const int fd = openat(folder_.get(), temporary_, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0) {
            new_file_ = Descriptor(fd);
            return Step::done;
        }
        if (errno != EEXIST) break;
    }
    temporary_[0] = '\0';
    return refused();
}

Step Replacement::begin(const char* path) {
    if (const Step located = locate(path); located != Step::done) return located;
    // Mode 0666 less the umask, and the folder's default ACL, as open() gives a new file.
    if (!replacing_) return create_new_file(0666);
    // Opened for writing, the file open() would refuse is refused (a read-only
    // file in a writable folder); not blocking, should a FIFO be swapped in.
    replaced_ = Descriptor(openat(folder_.get(), name_, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    Facts old;
    // Several hard links all show the same file: only an in-place write keeps that.
    if (!replaced_ || !facts_of(replaced_.get(), old) || !S_ISREG(old.mode) || old.links > 1) return Step::in_place;
    device_ = old.device;
    inode_ = old.inode;
    // Readable by no one else until it is what the old file is.
    if (const Step created = create_new_file(0600); created != Step::done) return created;
    return give_what_the_file_is(replaced_.get(), new_file_.get(), old);
}

namespace {

// A rename the folder refuses (a sticky folder, a mount point, another file
// system) or whose name has gone or changed kind: open() would still write there.
Step rename_refused() {
    switch (errno) {
        case EPERM:
        case EACCES:
        case EBUSY:
        case EXDEV:
        case ENOENT:
        case EEXIST:
        case EISDIR:
        case ENOTDIR:
        case ENOTEMPTY: return Step::in_place;
        default: return Step::failed;
    }
}

// renameat2's flag, which the file system (EINVAL) or a sandbox's filter of
// system calls (ENOSYS) may not offer.
bool unsupported() { return errno == EINVAL || errno == ENOSYS; }

}  // namespace

Step Replacement::exchange() {
    const int folder = folder_.get();
    if (renameat2(folder, temporary_, folder, name_, RENAME_EXCHANGE) == 0) {
        Facts out;
        if (facts_at(folder, temporary_, AT_SYMLINK_NOFOLLOW, out) && out.device == device_ && out.inode == inode_) {
            unlinkat(folder, temporary_, 0);
            temporary_[0] = '\0';
            return Step::done;
        }
        // Another file took the name before the exchange: it gets its name back.
        if (renameat2(folder, temporary_, folder, name_, RENAME_EXCHANGE) != 0) temporary_[0] = '\0';
        return Step::in_place;
    }
    if (!unsupported()) return rename_refused();
    // A file system that cannot exchange: the name is checked, and another user
    // who swaps it between the check and the rename has the file replaced.
    Facts now;
    if (!facts_at(folder, name_, AT_SYMLINK_NOFOLLOW, now) || now.device != device_ || now.inode != inode_)
        return Step::in_place;
    if (renameat(folder, temporary_, folder, name_) != 0) return rename_refused();
    temporary_[0] = '\0';
    return Step::done;
}

Step Replacement::commit() {
    if (replacing_) return exchange();
    const int folder = folder_.get();
    // A file made meanwhile under the name is one open() would now write to.
    int renamed = renameat2(folder, temporary_, folder, name_, RENAME_NOREPLACE);
    if (renamed != 0 && unsupported()) renamed = renameat(folder, temporary_, folder, name_);
    if (renamed != 0) return rename_refused();
    temporary_[0] = '\0';
    return Step::done;
}

}  // namespace vextaro
