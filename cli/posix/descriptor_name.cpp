// Recognising a name for one of the process's own descriptors, decided by
// where the kernel resolves the name's folder, link by link, rather than by
// its text, so that no spelling of /dev/stdout or /proc/self/fd/N escapes.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "destination_parts.h"

namespace {

// Whose descriptor folder (/proc/PID/fd, or /proc/PID/task/TID/fd) the open
// folder is: that process's ID, or 0 when it is none.
unsigned long descriptor_folder_owner([[maybe_unused]] int folder)
{
#ifdef __linux__
    char where[64];
    const ssize_t n = ::readlink(proc_path_of(folder).text, where, sizeof where - 1);
    if (n <= 0) {
        return 0;
    }
    where[n] = '\0';
    unsigned long pid = 0;
    unsigned long thread = 0;
    int end = 0;
    if ((std::sscanf(where, "/proc/%lu/fd%n", &pid, &end) == 1 && where[end] == '\0' && end > 0) ||
        (std::sscanf(where, "/proc/%lu/task/%lu/fd%n", &pid, &thread, &end) == 2 &&
         where[end] == '\0' && end > 0)) {
        return pid;
    }
#endif
    return 0;
}

// The descriptor number a name in a descriptor folder stands for, written
// as the kernel writes it: digits, no leading zero.
int descriptor_number(const char* name)
{
    if (*name == '\0' || (name[0] == '0' && name[1] != '\0')) {
        return not_a_descriptor;
    }
    int fd = 0;
    for (const char* p = name; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9' || fd > 100000000) {
            return not_a_descriptor;
        }
        fd = fd * 10 + (*p - '0');
    }
    return fd;
}

}  // namespace

int named_descriptor(const char* path)
{
    char hop[PATH_MAX];
    if (std::strlen(path) >= sizeof hop) {
        return not_a_descriptor;
    }
    std::strcpy(hop, path);
    for (int hops = 0; hops <= max_link_hops; ++hops) {
        char folder_path[PATH_MAX];
        const char* name = split_path(hop, folder_path);
        const unique_fd folder(folder_path[0] == '\0'
                                   ? -1
                                   : ::open(folder_path, lookup_flags | O_DIRECTORY | O_CLOEXEC));
        if (!folder.valid()) {
            return not_a_descriptor;
        }
        if (const unsigned long owner = descriptor_folder_owner(folder.get()); owner != 0) {
            return owner == static_cast<unsigned long>(::getpid()) ? descriptor_number(name)
                                                                   : foreign_descriptor;
        }
        // The descriptor folder may lie further along a link (/dev/stdout).
        if (!follow_link(hop)) {
            return not_a_descriptor;
        }
    }
    return not_a_descriptor;
}
