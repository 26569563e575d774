#include "destination_parts.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Links followed before a chain counts as a loop, as the kernel counts them.
constexpr int max_link_hops = 40;

// Looking a file up without opening it for reading or writing. Without
// O_PATH the lookup opens it for reading, without waiting on a FIFO.
#ifdef O_PATH
constexpr int lookup_flags = O_PATH;
#else
constexpr int lookup_flags = O_RDONLY | O_NONBLOCK;
#endif

// The descriptor that a name such as /dev/stdout or /proc/self/fd/3 stands
// for, or -1 when path is not such a name.
int named_descriptor(const char* path)
{
    static constexpr struct {
        const char* name;
        int fd;
    } streams[] = {{"/dev/stdin", 0}, {"/dev/stdout", 1}, {"/dev/stderr", 2}};
    for (const auto& stream : streams) {
        if (std::strcmp(path, stream.name) == 0) {
            return stream.fd;
        }
    }
    const char* digits = nullptr;
    for (const char* prefix : {"/dev/fd/", "/proc/self/fd/"}) {
        if (std::strncmp(path, prefix, std::strlen(prefix)) == 0) {
            digits = path + std::strlen(prefix);
        }
    }
    if (digits == nullptr || *digits == '\0') {
        return -1;
    }
    int fd = 0;
    for (const char* p = digits; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9' || fd > 100000000) {
            return -1;
        }
        fd = fd * 10 + (*p - '0');
    }
    return fd;
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
    if (S_ISREG(st.st_mode) && same_file(st, source)) {
        return false;
    }
    out.fd = unique_fd(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    return out.fd.valid();
}

// Copies the part of path before its last slash into folder ("." or "/" when
// there is none), and returns what follows it.
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
    return out.folder.valid();
}

// Replaces path, a symbolic link whose target does not exist yet, by that
// target. The kernel has already agreed to follow the link (with
// fs.protected_symlinks on, it refuses a planted one with EACCES rather than
// report that its target is missing), so only the text of the link is read
// here.
bool follow_dangling_link(char (&path)[PATH_MAX])
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

// Where the file open as fd, looked up as name, really is: its absolute path,
// links resolved. Linux tells it from the open file itself.
bool real_path_of([[maybe_unused]] int fd, [[maybe_unused]] const char* name,
                  char (&path)[PATH_MAX])
{
#ifdef __linux__
    char link[32];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = ::readlink(link, path, sizeof path);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof path || path[0] != '/') {
        return false;
    }
    path[n] = '\0';
    return true;
#else
    return ::realpath(name, path) != nullptr;
#endif
}

// A rename into a sticky folder replaces only files the caller owns, unless
// it owns the folder or is privileged.
bool may_replace(const struct stat& folder, const struct stat& file)
{
    const uid_t me = ::geteuid();
    return (folder.st_mode & S_ISVTX) == 0 || me == 0 || file.st_uid == me || folder.st_uid == me;
}

// An existing destination, open as file (a lookup only) under path.
bool open_existing(const char* path, const unique_fd& file, destination& out)
{
    struct stat st {};
    if (::fstat(file.get(), &st) != 0 || S_ISDIR(st.st_mode)) {
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        // A device or FIFO: written directly, and it must still be the file
        // that was looked up.
        out.fd = unique_fd(::open(path, O_WRONLY | O_NOCTTY | O_CLOEXEC));
        struct stat opened {};
        return out.fd.valid() && ::fstat(out.fd.get(), &opened) == 0 && same_file(opened, st);
    }
    char real[PATH_MAX];
    struct stat named {};
    struct stat folder {};
    if (!real_path_of(file.get(), path, real) || !open_folder_of(real, out) ||
        ::fstatat(out.folder.get(), out.name, &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        !same_file(named, st) || ::fstat(out.folder.get(), &folder) != 0) {
        return false;
    }
    // Replacing is not a way around a file's permissions or a sticky
    // folder's protection: what opening or renaming would refuse is refused
    // here, before anything is read.
    if (::faccessat(out.folder.get(), out.name, W_OK, AT_EACCESS) != 0 ||
        !may_replace(folder, st)) {
        return false;
    }
    out.replaces = true;
    out.previous = st;
    return create_temporary(out);
}

}  // namespace

bool is_standard_output(const char* path)
{
    struct stat out {};
    struct stat st {};
    if (::fstat(STDOUT_FILENO, &out) != 0) {
        return false;
    }
    const int fd = named_descriptor(path);
    return (fd >= 0 ? ::fstat(fd, &st) : ::stat(path, &st)) == 0 && same_file(out, st);
}

bool open_destination(const char* path, const source_file& source, destination& out)
{
    if (const int fd = named_descriptor(path); fd >= 0) {
        return open_descriptor(fd, source.st, out);
    }
    char hop[PATH_MAX];  // where a dangling link leads
    for (int hops = 0;; ++hops) {
        // The kernel follows the links, with its protections and its loop
        // limit; anything but "there is nothing there" ends the run.
        const unique_fd file(::open(path, lookup_flags | O_CLOEXEC));
        if (file.valid()) {
            return open_existing(path, file, out);
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
        if (!follow_dangling_link(hop)) {
            return false;
        }
        path = hop;
    }
}
