// Recognising a name for one of the process's own descriptors, decided by
// where the name leads, link by link, rather than by its text, so that no
// spelling of /dev/stdout or /proc/self/fd/N escapes.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "destination_posix.h"
#include "features_posix.h"

#if ZODEVIR_HAVE_STATFS_MAGIC
#include <linux/magic.h>
#include <sys/vfs.h>
#endif

namespace {

// Whether the path ends in a component of digits followed by tail; returns
// where that component starts, or nullptr.
const char* digits_before(const char* path, const char* end)
{
    const char* start = end;
    while (start > path && start[-1] >= '0' && start[-1] <= '9') {
        --start;
    }
    return start < end && start > path && start[-1] == '/' ? start - 1 : nullptr;
}

// Whether the open folder is a process's descriptor folder (PID/fd, or
// PID/task/TID/fd), in a process file system wherever it is mounted: /proc,
// a container's /proc seen from outside, a second mount. Where the kernel
// cannot say how it names the folder, it is taken for one. A system without
// file-system magic numbers has its descriptor folder at /dev/fd (a file
// system of its own there), recognised as the very folder that is there.
bool is_descriptor_folder(int folder)
{
#if ZODEVIR_HAVE_STATFS_MAGIC
    struct statfs fs {};
    if (::fstatfs(folder, &fs) != 0 || fs.f_type != PROC_SUPER_MAGIC) {
        return false;
    }
    char where[PATH_MAX];
    const ssize_t n = ::readlink(proc_path_of(folder).text, where, sizeof where - 1);
    if (n <= 0) {
        return true;
    }
    where[n] = '\0';
    const std::size_t length = std::strlen(where);
    if (length < 3 || std::strcmp(where + length - 3, "/fd") != 0) {
        return false;
    }
    const char* process = digits_before(where, where + length - 3);
    if (process == nullptr) {
        return false;
    }
    // PID/fd, or PID/task/TID/fd.
    return process - where < 5 || std::strncmp(process - 5, "/task", 5) != 0 ||
           digits_before(where, process - 5) != nullptr;
#else
    struct stat here {};
    struct stat dev_fd {};
    return ::fstat(folder, &here) == 0 && ::stat("/dev/fd", &dev_fd) == 0 &&
           same_file(here, dev_fd);
#endif
}

// Whether a descriptor folder is this process's own: it shows a pipe made
// just now under the number it was given. Process IDs cannot tell, since in
// a PID namespace /proc may count them differently from getpid().
bool is_own_descriptor_folder(int folder)
{
    int ends[2];
#if ZODEVIR_HAVE_PIPE2
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        return false;
    }
#else
    // The tool starts no other program, so the ends need no close-on-exec.
    if (::pipe(ends) != 0) {
        return false;
    }
#endif
    const unique_fd reader(ends[0]);
    const unique_fd writer(ends[1]);
    char name[16];
    std::snprintf(name, sizeof name, "%d", reader.get());
    struct stat made {};
    struct stat shown {};
    return ::fstat(reader.get(), &made) == 0 && ::fstatat(folder, name, &shown, 0) == 0 &&
           same_file(made, shown);
}

// The descriptor number a name in a descriptor folder stands for, written
// as the kernel writes it: digits, no leading zero.
int descriptor_number(const char* name)
{
    if (*name == '\0' || (name[0] == '0' && name[1] != '\0')) {
        return refused_descriptor;
    }
    int fd = 0;
    for (const char* p = name; *p != '\0'; ++p) {
        // The bound stops the number before it overflows an int: no process
        // has that many descriptors, and a wrapped number would name
        // another one.
        if (*p < '0' || *p > '9' || fd > 100000000) {
            return refused_descriptor;
        }
        fd = fd * 10 + (*p - '0');
    }
    return fd;
}

}  // namespace

int named_descriptor(const char* path)
{
    place where;
    if (!place_of(AT_FDCWD, path, where)) {
        return not_a_descriptor;
    }
    found_name found;
    for (int hops = 0; hops <= max_link_hops; ++hops) {
        if (is_descriptor_folder(where.folder.get())) {
            return is_own_descriptor_folder(where.folder.get()) ? descriptor_number(where.name)
                                                                : refused_descriptor;
        }
        // The descriptor folder may lie further along a link (/dev/stdout).
        if (!look_up(where, found) || !found.exists || !S_ISLNK(found.st.st_mode) ||
            !follow_link(where, found)) {
            return not_a_descriptor;
        }
    }
    return not_a_descriptor;
}
