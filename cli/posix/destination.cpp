#include "destination_parts.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// A block device written in place could not be put back as it was: an
// interruption would leave it part encoded, with no record of where.
bool same_block_device(const struct stat& a, const struct stat& b)
{
    return S_ISBLK(a.st_mode) && S_ISBLK(b.st_mode) && a.st_rdev == b.st_rdev;
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

// The caller's stream is written as the caller opened it (appending, or at
// its current offset), never replaced.
bool open_descriptor(int fd, const struct stat& source, destination& out)
{
    const int flags = ::fcntl(fd, F_GETFL);
    struct stat st {};
    if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY || ::fstat(fd, &st) != 0) {
        return false;
    }
    // Reading a file while writing it through another descriptor would
    // overwrite what is yet to be read, or, appending, never end.
    if ((S_ISREG(st.st_mode) && same_file(st, source)) || same_block_device(st, source)) {
        return false;
    }
    out.fd = unique_fd(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    return out.fd.valid();
}

// Opens the folder that path's last part lies in, for the *at calls, and
// keeps that part as the target's name. False when there is no name (a path
// ending in a slash) or the folder cannot be opened.
bool open_folder_of(const char* path, destination& out)
{
    char folder[PATH_MAX];
    const char* name = split_path(path, folder);
    const std::size_t length = std::strlen(name);
    if (folder[0] == '\0' || length == 0 || length >= sizeof out.name) {
        return false;
    }
    std::memcpy(out.name, name, length + 1);
    // Opened for reading where it may be, so that it can be flushed after
    // the rename; a folder the user may only search is looked up instead.
    out.folder = unique_fd(::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    out.folder_readable = out.folder.valid();
    if (!out.folder_readable && errno == EACCES) {
        out.folder = unique_fd(::open(folder, lookup_flags | O_DIRECTORY | O_CLOEXEC));
    }
    return out.folder.valid() && !unchangeable(out.folder.get());
}

// Opens the folder that the existing file open as fd, looked up under path,
// really lies in. Unless path's last part is a symbolic link, that is the
// folder path names, which needs neither /proc nor a path that fits
// PATH_MAX; through a link, Linux tells where the file is from the open
// file itself, or else the links are resolved by name.
bool open_real_folder_of(int fd, const char* path, destination& out)
{
    struct stat named {};
    if (::lstat(path, &named) != 0) {
        return false;
    }
    if (!S_ISLNK(named.st_mode)) {
        return open_folder_of(path, out);
    }
    char real[PATH_MAX];
    const ssize_t n = ::readlink(proc_path_of(fd).text, real, sizeof real);
    if (n > 0 && static_cast<std::size_t>(n) < sizeof real && real[0] == '/') {
        real[n] = '\0';
    } else if (::realpath(path, real) == nullptr) {
        return false;
    }
    return open_folder_of(real, out);
}

// Holds the file being replaced open: its extended attributes are read from
// it when the output is committed, and its blocks are freed only once the
// output and its name are on the disk, so that the run does not wait for
// them. A file that may not be read is held by its lookup instead.
bool hold_replaced_file(const unique_fd& file, destination& out)
{
    out.replaced = unique_fd(::openat(out.folder.get(), out.name,
                                      O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat held {};
    out.replaced_readable = out.replaced.valid() && ::fstat(out.replaced.get(), &held) == 0 &&
                            same_file(held, out.previous);
    if (!out.replaced_readable) {
        out.replaced = unique_fd(::fcntl(file.get(), F_DUPFD_CLOEXEC, 0));
    }
    return out.replaced.valid();
}

// A rename into a sticky folder replaces only files the caller owns, unless
// it owns the folder or is privileged.
bool may_replace(const struct stat& folder, const struct stat& file)
{
    const uid_t me = ::geteuid();
    return (folder.st_mode & S_ISVTX) == 0 || me == 0 || file.st_uid == me || folder.st_uid == me;
}

// An existing destination, open as file (a lookup only) under path.
bool open_existing(const char* path, const unique_fd& file, const struct stat& source,
                   destination& out)
{
    struct stat st {};
    if (::fstat(file.get(), &st) != 0 || S_ISDIR(st.st_mode) || same_block_device(st, source)) {
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        // A device or FIFO: written directly, and it must still be the file
        // that was looked up.
        out.fd = unique_fd(::open(path, O_WRONLY | O_NOCTTY | O_CLOEXEC));
        struct stat opened {};
        return out.fd.valid() && ::fstat(out.fd.get(), &opened) == 0 && same_file(opened, st);
    }
    struct stat named {};
    struct stat folder {};
    if (!open_real_folder_of(file.get(), path, out) ||
        ::fstatat(out.folder.get(), out.name, &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        !same_file(named, st) || ::fstat(out.folder.get(), &folder) != 0) {
        return false;
    }
    // Replacing is not a way around a file's permissions, its append-only or
    // immutable mark, or a sticky folder's protection: what opening or
    // renaming would refuse is refused here, before anything is read.
    if (::faccessat(out.folder.get(), out.name, W_OK, AT_EACCESS) != 0 ||
        !may_replace(folder, st) || unchangeable(file.get())) {
        return false;
    }
    out.replaces = true;
    out.previous = st;
    return hold_replaced_file(file, out) && create_temporary(out);
}

}  // namespace

const char* split_path(const char* path, char (&folder)[PATH_MAX])
{
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr) {
        std::strcpy(folder, ".");
        return path;
    }
    const auto length = static_cast<std::size_t>(slash - path);
    const std::size_t kept = length == 0 ? 1 : length;  // the root keeps its slash
    if (kept >= sizeof folder) {
        folder[0] = '\0';
        return slash + 1;
    }
    std::memcpy(folder, path, kept);
    folder[kept] = '\0';
    return slash + 1;
}

bool follow_link(char (&path)[PATH_MAX])
{
    char folder[PATH_MAX];
    split_path(path, folder);
    if (folder[0] == '\0') {
        return false;
    }
    char target[PATH_MAX];
    const ssize_t n = ::readlink(path, target, sizeof target);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof target) {
        return false;
    }
    target[n] = '\0';
    const int written = target[0] == '/'
                            ? std::snprintf(path, sizeof path, "%s", target)
                            : std::snprintf(path, sizeof path, "%s/%s", folder, target);
    return written > 0 && static_cast<std::size_t>(written) < sizeof path;
}

bool is_standard_output(const char* path)
{
    struct stat out {};
    struct stat st {};
    if (::fstat(STDOUT_FILENO, &out) != 0) {
        return false;
    }
    const int fd = named_descriptor(path);
    return fd != foreign_descriptor && (fd >= 0 ? ::fstat(fd, &st) : ::stat(path, &st)) == 0 &&
           same_file(out, st);
}

bool open_destination(const char* path, const source_file& source, destination& out)
{
    if (const int fd = named_descriptor(path); fd != not_a_descriptor) {
        return fd >= 0 && open_descriptor(fd, source.st, out);
    }
    char hop[PATH_MAX];  // where a dangling link leads
    for (int hops = 0;; ++hops) {
        // The kernel follows the links, with its protections and its loop
        // limit; anything but "there is nothing there" ends the run.
        const unique_fd file(::open(path, lookup_flags | O_CLOEXEC));
        if (file.valid()) {
            return open_existing(path, file, source.st, out);
        }
        struct stat link {};
        if (errno != ENOENT || ::lstat(path, &link) != 0) {
            // A new file: nothing of that name, in a folder that exists.
            return errno == ENOENT && open_folder_of(path, out) && create_temporary(out);
        }
        if (!S_ISLNK(link.st_mode) || hops == max_link_hops) {
            return false;
        }
        if (path != hop) {
            if (std::strlen(path) >= sizeof hop) {
                return false;
            }
            std::strcpy(hop, path);
        }
        // The kernel has already agreed to follow the link (with
        // fs.protected_symlinks on, it refuses a planted one with EACCES
        // rather than report that its target is missing).
        if (!follow_link(hop)) {
            return false;
        }
        path = hop;
    }
}
