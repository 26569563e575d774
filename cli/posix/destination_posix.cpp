// Finding the destination: the kernel looks the name up first, with its own
// protections (fs.protected_symlinks, the loop limit, permissions), and
// opens what the run writes with its own checks (fs.protected_regular and
// fs.protected_fifos); the run then only ever writes what the kernel agreed
// to.
#include "destination_posix.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#ifdef __linux__
#include <linux/loop.h>
#include <sys/ioctl.h>
#endif

namespace {

// A refusal of the run's own, with the reason the system would give for it.
bool refuse(int error)
{
    errno = error;
    return false;
}

// A folder or file marked append-only or immutable: a temporary file in it
// could never be renamed or removed, and such a file cannot be replaced.
bool unchangeable([[maybe_unused]] int fd)
{
#ifdef STATX_ATTR_APPEND
    struct statx attributes {};
    return ::statx(fd, "", AT_EMPTY_PATH, 0, &attributes) == 0 &&
           (attributes.stx_attributes & (STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE)) != 0;
#else
    return false;
#endif
}

// The file a loop device reads and writes, as the kernel reports it.
struct backing {
    bool known = false;
    dev_t device = 0;  // of the file system holding the backing file
    ino_t inode = 0;
    dev_t rdev = 0;  // the backing block device, when it is one
};

backing backing_of([[maybe_unused]] int fd, const struct stat& st)
{
    backing found;
#ifdef LOOP_GET_STATUS64
    loop_info64 info{};
    if (S_ISBLK(st.st_mode) && ::ioctl(fd, LOOP_GET_STATUS64, &info) == 0) {
        found.known = true;
        found.device = static_cast<dev_t>(info.lo_device);
        found.inode = static_cast<ino_t>(info.lo_inode);
        found.rdev = static_cast<dev_t>(info.lo_rdevice);
    }
#else
    (void)st;
#endif
    return found;
}

// Whether the loop device b (with backing) stores its bytes in a.
bool backed_by(const backing& b, const struct stat& a)
{
    return b.known && ((S_ISREG(a.st_mode) && b.device == a.st_dev && b.inode == a.st_ino) ||
                       (S_ISBLK(a.st_mode) && b.rdev != 0 && b.rdev == a.st_rdev));
}

// The caller's stream is written as the caller opened it (appending, or at
// its current offset), never replaced. It must be the file the kernel found
// under the name.
bool open_descriptor(int fd, const unique_fd& found, const source_file& source, destination& out)
{
    const int flags = ::fcntl(fd, F_GETFL);
    struct stat st {};
    struct stat named {};
    if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY) {
        return refuse(EBADF);
    }
    if (::fstat(fd, &st) != 0 || ::fstat(found.get(), &named) != 0) {
        return false;
    }
    if (!same_file(st, named)) {
        return refuse(EAGAIN);  // the name led elsewhere a moment ago
    }
    // Reading a file while writing it through another descriptor would
    // overwrite what is yet to be read, or, appending, never end.
    if (S_ISREG(st.st_mode) && same_file(st, source.st)) {
        return refuse(EINVAL);
    }
    if (overlapping_storage(fd, st, source.fd.get(), source.st)) {
        return refuse(EBUSY);
    }
    out.fd = unique_fd(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    return out.fd.valid();
}

// Takes the folder of where for the output: opened for reading where it may
// be, so that it can be flushed after the rename; a folder the user may only
// search is kept as a lookup handle.
bool take_folder(place& where, destination& out)
{
    out.folder = unique_fd(::openat(where.folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    out.folder_readable = out.folder.valid();
    if (!out.folder_readable) {
        if (errno != EACCES) {
            return false;
        }
        out.folder = std::move(where.folder);
    }
    std::memcpy(out.name, where.name, sizeof out.name);
    return !unchangeable(out.folder.get()) || refuse(EPERM);
}

// A rename into a sticky folder replaces only files the caller owns, unless
// it owns the folder or is privileged.
bool may_replace(const struct stat& folder, const struct stat& file)
{
    const uid_t me = ::geteuid();
    return (folder.st_mode & S_ISVTX) == 0 || me == 0 || file.st_uid == me || folder.st_uid == me;
}

// Another user's file in a sticky, world-writable folder (such as /tmp) that
// is not the folder owner's: whoever replaces it does not hand the output to
// that user.
bool planted(const struct stat& folder, const struct stat& file)
{
    return (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & S_IWOTH) != 0 &&
           file.st_uid != ::geteuid() && file.st_uid != folder.st_uid;
}

// Opens the existing file at where for writing, as any program writing it
// would: with O_CREAT, so that the kernel applies fs.protected_regular and
// fs.protected_fifos, for root too. It must be the file looked up as st.
unique_fd open_for_writing(const place& where, const struct stat& st, int flags)
{
    unique_fd fd(::openat(where.folder.get(), where.name,
                          O_WRONLY | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC | flags, 0600));
    struct stat opened {};
    if (fd.valid() && (::fstat(fd.get(), &opened) != 0 || !same_file(opened, st))) {
        errno = EAGAIN;  // the name led elsewhere a moment ago
        return unique_fd();
    }
    return fd;
}

// Holds the file being replaced open: its extended attributes are read from
// it when the output is committed, and its blocks are freed only once the
// output and its name are on the disk, so that the run does not wait for
// them. A file being run as a program cannot be opened for writing; it is
// held for reading then, or by its lookup.
bool hold_replaced_file(unique_fd writable, const unique_fd& file, destination& out)
{
    if (!writable.valid()) {
        writable = unique_fd(::openat(out.folder.get(), out.name,
                                      O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        struct stat held {};
        if (writable.valid() &&
            (::fstat(writable.get(), &held) != 0 || !same_file(held, out.previous))) {
            writable = unique_fd();
        }
    }
    out.replaced_open = writable.valid();
    out.replaced = out.replaced_open ? std::move(writable)
                                     : unique_fd(::fcntl(file.get(), F_DUPFD_CLOEXEC, 0));
    return out.replaced.valid();
}

// An existing destination, found by the kernel as file and by the walk as
// where.
bool open_existing(place& where, const unique_fd& file, const source_file& source, destination& out)
{
    struct stat st {};
    struct stat named {};
    if (::fstat(file.get(), &st) != 0 ||
        ::fstatat(where.folder.get(), where.name, &named, AT_SYMLINK_NOFOLLOW) != 0) {
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        return refuse(EISDIR);
    }
    if (!same_file(named, st)) {
        return refuse(EAGAIN);
    }
    if (!S_ISREG(st.st_mode)) {
        // A device or FIFO is written directly.
        out.fd = open_for_writing(where, st, 0);
        return out.fd.valid() &&
               (!overlapping_storage(out.fd.get(), st, source.fd.get(), source.st) ||
                refuse(EBUSY));
    }
    // Opening for writing asks the kernel whether this user may write the
    // file (permissions, ACLs, append-only or immutable marks, sticky
    // folders). A program being run (ETXTBSY) or a file another program
    // holds a lease on (EWOULDBLOCK) passed those checks; it is replaced,
    // not opened.
    unique_fd writable = open_for_writing(where, st, O_NONBLOCK);
    if (!writable.valid() && errno != ETXTBSY && errno != EWOULDBLOCK) {
        return false;
    }
    struct stat folder {};
    if (!take_folder(where, out) || ::fstat(out.folder.get(), &folder) != 0) {
        return false;
    }
    if (!may_replace(folder, st) || unchangeable(file.get())) {
        return refuse(EPERM);  // as the rename, or the write, would say
    }
    out.replaces = true;
    out.previous = st;
    out.fresh_permissions = planted(folder, st);
    return hold_replaced_file(std::move(writable), file, out) &&
           (out.fresh_permissions || attributes_readable(out)) && create_temporary(out);
}

}  // namespace

bool overlapping_storage(int a, const struct stat& a_st, int b, const struct stat& b_st)
{
    if (S_ISBLK(a_st.st_mode) && S_ISBLK(b_st.st_mode) && a_st.st_rdev == b_st.st_rdev) {
        return true;
    }
    const backing a_backing = backing_of(a, a_st);
    const backing b_backing = backing_of(b, b_st);
    return backed_by(a_backing, b_st) || backed_by(b_backing, a_st) ||
           (a_backing.known && b_backing.known && a_backing.device == b_backing.device &&
            a_backing.inode == b_backing.inode);
}

bool is_standard_output(const char* path)
{
    // What the kernel finds under the name, with its protections; a name
    // leading to another process's descriptor is refused later, and its
    // message goes where the console text goes.
    const unique_fd file(::open(path, lookup_flags | O_CLOEXEC));
    struct stat out {};
    struct stat st {};
    return file.valid() && ::fstat(STDOUT_FILENO, &out) == 0 && ::fstat(file.get(), &st) == 0 &&
           same_file(out, st) && named_descriptor(path) != refused_descriptor;
}

bool open_destination(const char* path, const source_file& source, destination& out)
{
    // The kernel looks the name up first, following its links with its
    // protections and its loop limit; anything but "there is nothing there"
    // ends the run.
    const unique_fd file(::open(path, lookup_flags | O_CLOEXEC));
    if (!file.valid() && errno != ENOENT) {
        return false;
    }
    if (const int fd = named_descriptor(path); fd != not_a_descriptor) {
        if (fd == refused_descriptor) {
            // Another process's descriptor, or a name that is no descriptor.
            return refuse(file.valid() ? EACCES : ENOENT);
        }
        return file.valid() ? open_descriptor(fd, file, source, out) : refuse(EBADF);
    }
    place where;
    if (!place_of(AT_FDCWD, path, where)) {
        return false;
    }
    for (int hops = 0;; ++hops) {
        const hop next = follow_place(where);
        if (next == hop::failed) {
            return false;
        }
        if (next == hop::followed && hops == max_link_hops) {
            return refuse(ELOOP);
        }
        if (next == hop::not_a_link) {
            break;
        }
    }
    if (file.valid()) {
        return open_existing(where, file, source, out);
    }
    // A new file: nothing of that name (a link's target, or the name
    // itself), in a folder that exists.
    struct stat st {};
    if (::fstatat(where.folder.get(), where.name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        return refuse(EEXIST);  // there is something after all
    }
    return errno == ENOENT && take_folder(where, out) && create_temporary(out);
}

std::uint64_t other_links(const destination& dest)
{
    return dest.replaces && dest.previous.st_nlink > 1 ? dest.previous.st_nlink - 1 : 0;
}
