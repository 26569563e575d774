// Walking a name to where it leads, one symbolic link at a time, relative to
// open folders rather than by building paths. Each name is looked up once,
// without following it; a link is read from what that lookup opened, never
// by its name again.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "destination_posix.h"
#include "reason_posix.h"

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
    if (length == 0 && folder[0] != '\0') {
        // A name ending in a slash names a folder: as for any program
        // writing it, the folder it lies in must be there, and it is a
        // folder that cannot be written as a file.
        std::size_t end = std::strlen(folder);
        while (end > 1 && folder[end - 1] == '/') {
            folder[--end] = '\0';  // one look-up, however many slashes
        }
        if (std::strcmp(folder, path) != 0 && !place_of(at, folder, out)) {
            return false;
        }
        return refuse(EISDIR);
    }
    if (folder[0] == '\0' || length == 0 || length >= sizeof out.name) {
        return refuse(ENAMETOOLONG);
    }
    out.folder = unique_fd(::openat(at, folder, lookup_flags | O_DIRECTORY | O_CLOEXEC));
    std::memcpy(out.name, name, length + 1);
    return out.folder.valid();
}

bool look_up(const place& where, found_name& out)
{
#ifdef O_PATH
    out.fd = unique_fd(::openat(where.folder.get(), where.name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!out.fd.valid()) {
        out.exists = false;
        return errno == ENOENT;
    }
    out.exists = ::fstat(out.fd.get(), &out.st) == 0;
    return out.exists;
#else
    // Without O_PATH a link cannot be opened: it is known by its status.
    if (::fstatat(where.folder.get(), where.name, &out.st, AT_SYMLINK_NOFOLLOW) != 0) {
        out.exists = false;
        return errno == ENOENT;
    }
    out.exists = true;
    if (!S_ISLNK(out.st.st_mode)) {
        out.fd = unique_fd(
            ::openat(where.folder.get(), where.name, lookup_flags | O_NOFOLLOW | O_CLOEXEC));
    }
    return S_ISLNK(out.st.st_mode) || out.fd.valid();
#endif
}

bool may_follow(const place& where, const struct stat& link)
{
    // The kernel's rule for links in sticky, world-writable folders
    // (fs.protected_symlinks), applied whatever that setting says: such a
    // link is followed only when it is the runner's own or the folder
    // owner's.
    struct stat folder {};
    if (::fstat(where.folder.get(), &folder) != 0) {
        return false;
    }
    const uid_t me = ::geteuid();
    if ((folder.st_mode & (S_ISVTX | S_IWOTH)) == (S_ISVTX | S_IWOTH) && link.st_uid != me &&
        link.st_uid != folder.st_uid) {
        return refuse(EACCES);
    }
    return true;
}

bool follow_link(place& where, found_name& found)
{
    if (!may_follow(where, found.st)) {
        return false;
    }
    char link_text[PATH_MAX];
#ifdef O_PATH
    const ssize_t n = ::readlinkat(found.fd.get(), "", link_text, sizeof link_text);
#else
    const ssize_t n = ::readlinkat(where.folder.get(), where.name, link_text, sizeof link_text);
#endif
    if (n < 0) {
        return false;
    }
    if (n == 0 || static_cast<std::size_t>(n) >= sizeof link_text) {
        return refuse(ENAMETOOLONG);
    }
    link_text[n] = '\0';
    place next;
    if (!place_of(where.folder.get(), link_text, next)) {
        return false;
    }
    where = std::move(next);
    return look_up(where, found);
}

bool walk_to_end(place& where, found_name& found)
{
    for (int hops = 0; found.exists && S_ISLNK(found.st.st_mode); ++hops) {
        if (hops == max_link_hops) {
            return refuse(ELOOP);
        }
        if (!follow_link(where, found)) {
            return false;
        }
    }
    return true;
}
