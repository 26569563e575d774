// Loaded into the zodevir binary with LD_PRELOAD to make one system call
// fail, so that the tests see what a run does when it does. ZODEVIR_FAULT
// names the call, ZODEVIR_FAULT_ERRNO the error (a number):
//   lookup  the open(O_PATH) that looks the destination up
//   create  the exclusive create of the temporary file
//   read    any read
//   write, fchmod, fchown, close   on the temporary file
//   fchown_owner  giving the temporary file an owner (the group alone works)
//   rename  renaming the temporary file into place
//   fsync   flushing the temporary file; fsync_folder, flushing a folder;
//           fsync_direct, flushing a file written directly; syncfs
//   flistxattr    listing any file's extended attributes
//   swap    not a failure: the FIFO the run is about to open for writing
//           is swapped for a regular file holding "swapped"
//   close_direct  closing a destination written directly (a regular file
//                 open for writing that is not the temporary file)
//   held_signal   not a failure: SIGTERM is raised just before the rename,
//                 while the run holds such signals back
//   fsetxattr     setting an extended attribute of the temporary file
//   noreplace     renaming without replacing is not supported (EINVAL)
//   fat           neither that nor a second link (EPERM), as on FAT via FUSE
//   create_exists the first exclusive create of the temporary file says EEXIST
//   create_signal SIGTERM arrives just after the temporary file is created
//   short_write, eintr_write  the first write to the temporary file writes
//                 half of what it was given, or is interrupted (EINTR)
//   read_then_close  any read, and then the close of a read-only file fails
//                 too, with EIO: the reason shown must be the read's
//   odd_reads     every read returns at most an odd, changing number of bytes
//   borrowed      while the run reopens ZODEVIR_RACE for reading only, that
//                 name and ZODEVIR_RACE_TO trade places
//   to_link       just before the open for writing, ZODEVIR_RACE becomes a
//                 link to ZODEVIR_RACE_TO
// ZODEVIR_SCAN (hex) names bytes the run's memory must not hold at its end:
// the shim looks for them then and writes "found" or "clean" to
// ZODEVIR_SCAN_REPORT.
// Races another user could run, acted out at the moment they matter, on the
// name ZODEVIR_RACE (a full path):
//   flip_link     after each lookup (O_PATH) of a name ending as it does,
//                 a link to ZODEVIR_RACE_TO, owned by uid 65534, appears
//                 there or goes again
//   flip_exchange after each such lookup, it swaps places with
//                 ZODEVIR_RACE_TO (renameat2 RENAME_EXCHANGE)
//   vanish        just before each open for writing, it is removed
//   moved_in      just before that, ZODEVIR_RACE_TO is moved over it
//   moved_in_late ZODEVIR_RACE_TO is moved over it just before the output is
//                 renamed into place
//   planted       just before the run first opens it for writing, it is
//                 removed and another writer creates an empty file there
//   undo_raced    as moved_in_late before the swap into place, and before
//                 the swap back it is moved to ZODEVIR_RACE_TO
// ZODEVIR_TRACE names a file to which each change of the temporary file's
// owner, mode or attributes, and its flush, appends a line: the call, the
// permission bits after it, and 1 if it then has an access ACL.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool fault_is(const char* call)
{
    const char* fault = std::getenv("ZODEVIR_FAULT");
    return fault != nullptr && std::strcmp(fault, call) == 0;
}

int fail()
{
    const char* number = std::getenv("ZODEVIR_FAULT_ERRNO");
    errno = number != nullptr ? std::atoi(number) : EIO;
    return -1;
}

bool is_temporary(int fd)
{
    char link[64];
    char path[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, path, sizeof path - 1);
    if (n <= 0) {
        return false;
    }
    path[n] = '\0';
    return std::strstr(path, "/.zodevir-") != nullptr;
}

// Appends what the temporary file looks like after call to ZODEVIR_TRACE.
int traced(int fd, const char* call, int result)
{
    const char* trace = std::getenv("ZODEVIR_TRACE");
    struct stat st {};
    if (trace != nullptr && is_temporary(fd) && fstat(fd, &st) == 0) {
        const int error = errno;
        const bool acl = fgetxattr(fd, "system.posix_acl_access", nullptr, 0) > 0;
        if (FILE* log = std::fopen(trace, "a")) {
            std::fprintf(log, "%s %03o %d\n", call, st.st_mode & 0777, acl ? 1 : 0);
            std::fclose(log);
        }
        errno = error;
    }
    return result;
}

template <typename Function>
Function next(const char* name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// Swaps the FIFO at path (relative to dirfd) for a regular file, as another
// user could between the run's lookup and its open.
void swap_fifo(int dirfd, const char* path, int flags)
{
    struct stat st {};
    if (fault_is("swap") && (flags & O_CREAT) != 0 && (flags & O_EXCL) == 0 &&
        fstatat(dirfd, path, &st, 0) == 0 && S_ISFIFO(st.st_mode) &&
        unlinkat(dirfd, path, 0) == 0) {
        const int fd = next<int (*)(int, const char*, int, mode_t)>("openat")(
            dirfd, path, O_WRONLY | O_CREAT | O_EXCL, 0666);
        (void)!next<ssize_t (*)(int, const void*, size_t)>("write")(fd, "swapped", 7);
        next<int (*)(int)>("close")(fd);
    }
}

// True the first time it is asked for the call.
bool first_time(int& count)
{
    return count++ == 0;
}
int create_count = 0;
int write_count = 0;
int read_count = 0;
int race_count = 0;
int exchange_count = 0;

const char* last_part(const char* path)
{
    const char* slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

// Acts out the race ZODEVIR_FAULT names around an open of path (relative to
// dirfd) with flags: before it (before) or after it.
void race(int dirfd, const char* path, int flags, bool before)
{
    const char* name = std::getenv("ZODEVIR_RACE");
    const char* to = std::getenv("ZODEVIR_RACE_TO");
    if (name == nullptr || to == nullptr || std::strcmp(last_part(path), last_part(name)) != 0) {
        return;
    }
    using rename2 = int (*)(int, const char*, int, const char*, unsigned);
    struct stat st {};
    if (!before && (flags & O_PATH) != 0) {
        if (fault_is("flip_link")) {
            if (unlink(name) != 0 && symlink(to, name) == 0) {
                (void)lchown(name, 65534, 65534);
            }
        } else if (fault_is("flip_exchange")) {
            (void)next<rename2>("renameat2")(AT_FDCWD, name, AT_FDCWD, to, RENAME_EXCHANGE);
        }
    } else if (fault_is("borrowed") && (flags & (O_PATH | O_CREAT | O_ACCMODE)) == 0 &&
               (flags & O_NONBLOCK) != 0) {
        (void)next<rename2>("renameat2")(AT_FDCWD, name, AT_FDCWD, to, RENAME_EXCHANGE);
    } else if (before && (flags & O_CREAT) != 0 &&
               fstatat(dirfd, path, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)) {
        if (fault_is("planted") && first_time(race_count)) {
            (void)unlink(name);
            next<int (*)(int)>("close")(next<int (*)(const char*, int, mode_t)>("open")(
                name, O_WRONLY | O_CREAT | O_EXCL, 0600));
        } else if (fault_is("vanish")) {
            (void)unlink(name);
        } else if (fault_is("moved_in")) {
            (void)next<int (*)(const char*, const char*)>("rename")(to, name);
        } else if (fault_is("to_link")) {
            const std::string link = std::string(name) + ".link";
            if (symlink(to, link.c_str()) == 0) {
                (void)next<int (*)(const char*, const char*)>("rename")(link.c_str(), name);
            }
        }
    }
}

bool open_fails(int flags)
{
    if (fault_is("create_exists") && (flags & O_EXCL) != 0 && first_time(create_count)) {
        return true;  // with ZODEVIR_FAULT_ERRNO EEXIST
    }
    return (fault_is("lookup") && (flags & O_PATH) != 0 && (flags & O_DIRECTORY) == 0) ||
           (fault_is("create") && (flags & O_EXCL) != 0);
}

// What happens just after an open returned fd.
void after_open(int fd, int flags)
{
    if (fd >= 0 && fault_is("create_signal") && (flags & O_EXCL) != 0) {
        raise(SIGTERM);
    }
}

mode_t mode_argument(int flags, va_list args)
{
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

// Looks for the ZODEVIR_SCAN bytes in every writable mapping of the process
// as it ends, skipping the copy made here to look with.
__attribute__((destructor)) void scan_memory_at_exit()
{
    const char* hex = std::getenv("ZODEVIR_SCAN");
    const char* report = std::getenv("ZODEVIR_SCAN_REPORT");
    if (hex == nullptr || report == nullptr) {
        return;
    }
    static unsigned char needle[256];
    std::size_t length = 0;
    for (; hex[2 * length] != '\0' && hex[2 * length + 1] != '\0' && length < sizeof needle;
         ++length) {
        unsigned value = 0;
        std::sscanf(hex + 2 * length, "%2x", &value);
        needle[length] = static_cast<unsigned char>(value);
    }
    bool found = false;
    if (FILE* maps = std::fopen("/proc/self/maps", "r")) {
        unsigned long start = 0;
        unsigned long end = 0;
        char permissions[8];
        char line[512];
        while (!found && std::fgets(line, sizeof line, maps) != nullptr) {
            if (std::sscanf(line, "%lx-%lx %7s", &start, &end, permissions) != 3 ||
                permissions[0] != 'r' || permissions[1] != 'w' || end - start > (1ul << 30)) {
                continue;
            }
            // Byte by byte, not through memcmp, which a sanitizer's run-time
            // library would check against its red zones.
            const auto* begin = reinterpret_cast<const volatile unsigned char*>(start);
            for (const volatile unsigned char* at = begin; at + length <= begin + (end - start);
                 ++at) {
                std::size_t same = 0;
                while (same < length && at[same] == needle[same]) {
                    ++same;
                }
                if (same == length && at != needle) {
                    found = true;
                    break;
                }
            }
        }
        std::fclose(maps);
    }
    if (FILE* out = std::fopen(report, "w")) {
        std::fputs(found ? "found" : "clean", out);
        std::fclose(out);
    }
}

// What every open the run makes goes through: the failure asked for, or the
// call itself, with the races acted out around it. at is AT_FDCWD for
// open(); real names the next definition.
int opened(const char* real, int at, const char* path, int flags, mode_t mode)
{
    swap_fifo(at, path, flags);
    race(at, path, flags, true);
    const int fd = open_fails(flags)
                       ? fail()
                       : next<int (*)(int, const char*, int, mode_t)>(real)(at, path, flags, mode);
    const int error = errno;
    after_open(fd, flags);
    race(at, path, flags, false);
    errno = error;
    return fd;
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_argument(flags, args);
    va_end(args);
    return opened("openat", AT_FDCWD, path, flags, mode);
}

int open64(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_argument(flags, args);
    va_end(args);
    return opened("openat64", AT_FDCWD, path, flags, mode);
}

int openat(int dirfd, const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_argument(flags, args);
    va_end(args);
    return opened("openat", dirfd, path, flags, mode);
}

int openat64(int dirfd, const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_argument(flags, args);
    va_end(args);
    return opened("openat64", dirfd, path, flags, mode);
}

// Whether a read has failed under read_then_close.
static bool read_failed = false;

ssize_t read(int fd, void* buffer, size_t size)
{
    if (fault_is("odd_reads")) {
        const size_t most = 1 + 2 * ((static_cast<size_t>(read_count++) * 7919) % 2047);
        size = size < most ? size : most;
    }
    if (fault_is("read_then_close")) {
        read_failed = true;
        return fail();
    }
    return fault_is("read") ? fail()
                            : next<ssize_t (*)(int, void*, size_t)>("read")(fd, buffer, size);
}

ssize_t write(int fd, const void* data, size_t size)
{
    if (fault_is("write") && is_temporary(fd)) {
        return fail();
    }
    if ((fault_is("short_write") || fault_is("eintr_write")) && size > 1 && is_temporary(fd) &&
        first_time(write_count)) {
        if (fault_is("eintr_write")) {
            errno = EINTR;
            return -1;
        }
        size /= 2;
    }
    return next<ssize_t (*)(int, const void*, size_t)>("write")(fd, data, size);
}

int fchmod(int fd, mode_t mode)
{
    return fault_is("fchmod") && is_temporary(fd)
               ? fail()
               : traced(fd, "fchmod", next<int (*)(int, mode_t)>("fchmod")(fd, mode));
}

int fchown(int fd, uid_t uid, gid_t gid)
{
    if ((fault_is("fchown") || (fault_is("fchown_owner") && uid != static_cast<uid_t>(-1))) &&
        is_temporary(fd)) {
        return fail();
    }
    return traced(fd, "fchown", next<int (*)(int, uid_t, gid_t)>("fchown")(fd, uid, gid));
}

int fsync(int fd)
{
    struct stat st {};
    if ((fault_is("fsync") && is_temporary(fd)) ||
        (fault_is("fsync_folder") && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) ||
        (fault_is("fsync_direct") && fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode))) {
        return fail();
    }
    return traced(fd, "fsync", next<int (*)(int)>("fsync")(fd));
}

int fsetxattr(int fd, const char* name, const void* value, size_t size, int flags)
{
    if (fault_is("fsetxattr") && is_temporary(fd)) {
        return fail();
    }
    using function = int (*)(int, const char*, const void*, size_t, int);
    return traced(fd, "fsetxattr", next<function>("fsetxattr")(fd, name, value, size, flags));
}

ssize_t flistxattr(int fd, char* list, size_t size)
{
    return fault_is("flistxattr")
               ? fail()
               : next<ssize_t (*)(int, char*, size_t)>("flistxattr")(fd, list, size);
}

int syncfs(int fd)
{
    return fault_is("syncfs") ? fail() : next<int (*)(int)>("syncfs")(fd);
}

int fremovexattr(int fd, const char* name)
{
    return traced(fd, "fremovexattr", next<int (*)(int, const char*)>("fremovexattr")(fd, name));
}

int close(int fd)
{
    // The descriptor is released either way, as the kernel does.
    struct stat st {};
    const bool failing =
        (fault_is("close") && is_temporary(fd)) ||
        (fault_is("close_direct") && (fcntl(fd, F_GETFL) & O_ACCMODE) != O_RDONLY &&
         fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && !is_temporary(fd));
    const bool after_read = read_failed && (fcntl(fd, F_GETFL) & O_ACCMODE) == O_RDONLY &&
                            fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    const int result = next<int (*)(int)>("close")(fd);
    if (after_read) {
        errno = EIO;
        return -1;
    }
    return failing ? fail() : result;
}

int renameat(int from_dir, const char* from, int to_dir, const char* to)
{
    if (fault_is("rename")) {
        return fail();
    }
    if (fault_is("held_signal")) {
        raise(SIGTERM);
    }
    return next<int (*)(int, const char*, int, const char*)>("renameat")(from_dir, from, to_dir,
                                                                         to);
}

int renameat2(int from_dir, const char* from, int to_dir, const char* to, unsigned flags)
{
    if (fault_is("rename") ||
        ((fault_is("noreplace") || fault_is("fat")) && (flags & RENAME_NOREPLACE) != 0)) {
        return fault_is("rename") ? fail() : (errno = EINVAL, -1);
    }
    if (fault_is("held_signal")) {
        raise(SIGTERM);
    }
    const char* name = std::getenv("ZODEVIR_RACE");
    const char* moved = std::getenv("ZODEVIR_RACE_TO");
    using rename1 = int (*)(const char*, const char*);
    if (fault_is("moved_in_late") && name != nullptr && moved != nullptr) {
        (void)next<rename1>("rename")(moved, name);
    }
    if (fault_is("undo_raced") && name != nullptr && moved != nullptr &&
        (flags & RENAME_EXCHANGE) != 0) {
        const bool swap = first_time(exchange_count);
        (void)next<rename1>("rename")(swap ? moved : name, swap ? name : moved);
    }
    using function = int (*)(int, const char*, int, const char*, unsigned);
    return next<function>("renameat2")(from_dir, from, to_dir, to, flags);
}

int linkat(int from_dir, const char* from, int to_dir, const char* to, int flags)
{
    if (fault_is("rename") || fault_is("fat")) {
        return fault_is("fat") ? (errno = EPERM, -1) : fail();
    }
    using function = int (*)(int, const char*, int, const char*, int);
    return next<function>("linkat")(from_dir, from, to_dir, to, flags);
}

}  // extern "C"
