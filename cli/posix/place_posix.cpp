// Walking a name to where it leads, one symbolic link at a time, relative to
// open folders rather than by building paths.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "destination_posix.h"

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

bool place_of(int at, const char* path, place& out)
{
    char folder[PATH_MAX];
    const char* name = split_path(path, folder);
    const std::size_t length = std::strlen(name);
    if (folder[0] == '\0' || length == 0 || length >= sizeof out.name) {
        errno = ENAMETOOLONG;
        return false;
    }
    out.folder = unique_fd(::openat(at, folder, lookup_flags | O_DIRECTORY | O_CLOEXEC));
    std::memcpy(out.name, name, length + 1);
    return out.folder.valid();
}

hop follow_place(place& where)
{
    char target[PATH_MAX];
    const ssize_t n = ::readlinkat(where.folder.get(), where.name, target, sizeof target);
    if (n < 0) {
        return errno == EINVAL || errno == ENOENT ? hop::not_a_link : hop::failed;
    }
    if (n == 0 || static_cast<std::size_t>(n) >= sizeof target) {
        return hop::failed;
    }
    target[n] = '\0';
    place next;
    return place_of(where.folder.get(), target, next) ? (where = std::move(next), hop::followed)
                                                      : hop::failed;
}
