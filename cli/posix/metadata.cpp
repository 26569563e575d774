// Carrying the replaced file's metadata over to its replacement, or giving a
// new file the permissions it would have had.
#include <unistd.h>

#include <cerrno>

#include "destination_parts.h"

namespace {

mode_t current_umask()
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

}  // namespace

bool carry_metadata(const destination& dest)
{
    const int fd = dest.fd.get();
    if (!dest.replaces) {
        return ::fchmod(fd, 0666 & ~current_umask()) == 0;
    }
    const struct stat& old = dest.previous;
    // Owner first: changing it may clear set-id bits that the mode then
    // restores. Only a privileged process may give a file away, but a member
    // of the file's group may still keep the group.
    if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
        if (errno != EPERM) {
            return false;
        }
        if (::fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0 && errno != EPERM) {
            return false;
        }
    }
    return ::fchmod(fd, old.st_mode & 07777) == 0;
}
