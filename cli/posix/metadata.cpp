// Carrying the replaced file's metadata over to its replacement (owner,
// group, mode, ACL, extended attributes, security label), or giving a new
// file the permissions it would have had, created by any other program.
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "destination_parts.h"

#ifdef __linux__
#include <sys/xattr.h>
#endif

namespace {

mode_t current_umask()
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

#ifdef __linux__

// Room for an attribute's value or the list of names: the most Linux stores.
constexpr std::size_t attribute_capacity = 65536;
char attribute_names[attribute_capacity];
unsigned char attribute_value[attribute_capacity];

// A file's extended attributes are read from an open descriptor, or, when
// only a lookup of the file is open, through its name in /proc.
struct attribute_source {
    int fd;
    bool readable;
};

ssize_t list_attributes(const attribute_source& from)
{
    if (from.readable) {
        return ::flistxattr(from.fd, attribute_names, sizeof attribute_names);
    }
    return ::listxattr(proc_path_of(from.fd).text, attribute_names, sizeof attribute_names);
}

ssize_t get_attribute(const attribute_source& from, const char* name)
{
    if (from.readable) {
        return ::fgetxattr(from.fd, name, attribute_value, sizeof attribute_value);
    }
    return ::getxattr(proc_path_of(from.fd).text, name, attribute_value, sizeof attribute_value);
}

// Errors that say the process may not set (or read) an attribute, or that
// the file system has none: the attribute is left behind, as the owner is.
bool not_allowed(int error)
{
    return error == EPERM || error == EACCES || error == ENOTSUP || error == ENODATA;
}

// Copies every extended attribute but the file capabilities (the transformed
// bytes are not the program that was granted them): the access ACL, user.*,
// trusted.* for root, and the security label.
bool copy_attributes(const attribute_source& from, int to)
{
    const ssize_t listed = list_attributes(from);
    if (listed < 0) {
        return not_allowed(errno);
    }
    for (const char* name = attribute_names; name < attribute_names + listed;
         name += std::strlen(name) + 1) {
        if (std::strcmp(name, "security.capability") == 0) {
            continue;
        }
        const ssize_t size = get_attribute(from, name);
        if (size < 0) {
            if (not_allowed(errno)) {
                continue;
            }
            return false;
        }
        if (::fsetxattr(to, name, attribute_value, static_cast<std::size_t>(size), 0) != 0 &&
            !not_allowed(errno)) {
            return false;
        }
    }
    return true;
}

// POSIX ACLs as Linux stores them in system.posix_acl_*: a 4-byte version,
// then 8-byte entries of a tag, permissions and an ID, little-endian.
constexpr std::size_t acl_header = 4;
constexpr std::size_t acl_entry = 8;
constexpr unsigned acl_user_obj = 0x01;
constexpr unsigned acl_group_obj = 0x04;
constexpr unsigned acl_mask = 0x10;
constexpr unsigned acl_other = 0x20;

unsigned acl_tag(const unsigned char* entry)
{
    return entry[0] | static_cast<unsigned>(entry[1]) << 8;
}

// Gives a new file the access ACL the kernel makes from the folder's default
// ACL for a file created with mode 0666, as cat > file would: the owner,
// other and mask entries (the group's when there is no mask) lose execute.
// Sets found when the folder has a default ACL.
bool inherit_default_acl(const destination& dest, bool& found)
{
    found = false;
    const attribute_source folder{dest.folder.get(), dest.folder_readable};
    const ssize_t size = get_attribute(folder, "system.posix_acl_default");
    if (size < 0) {
        return errno == ENODATA || errno == ENOTSUP;
    }
    const auto length = static_cast<std::size_t>(size);
    if (length < acl_header || (length - acl_header) % acl_entry != 0) {
        return false;
    }
    bool has_mask = false;
    for (std::size_t at = acl_header; at < length; at += acl_entry) {
        has_mask = has_mask || acl_tag(attribute_value + at) == acl_mask;
    }
    for (std::size_t at = acl_header; at < length; at += acl_entry) {
        const unsigned tag = acl_tag(attribute_value + at);
        if (tag == acl_user_obj || tag == acl_mask || tag == acl_other ||
            (tag == acl_group_obj && !has_mask)) {
            attribute_value[at + 2] &= 06;  // the low byte of the permissions
        }
    }
    found = true;
    return ::fsetxattr(dest.fd.get(), "system.posix_acl_access", attribute_value, length, 0) == 0;
}

#endif

}  // namespace

bool carry_metadata(const destination& dest)
{
    const int fd = dest.fd.get();
    if (!dest.replaces) {
#ifdef __linux__
        // The umask does not apply where the folder has a default ACL.
        bool inherited = false;
        if (!inherit_default_acl(dest, inherited)) {
            return false;
        }
        if (inherited) {
            return true;
        }
#endif
        return ::fchmod(fd, 0666 & ~current_umask()) == 0;
    }
    const struct stat& old = dest.previous;
#ifdef __linux__
    // The temporary file took an ACL from the folder's default one, which
    // the replaced file may not have had: it gets the replaced file's below.
    if (::fremovexattr(fd, "system.posix_acl_access") != 0 && errno != ENODATA &&
        errno != ENOTSUP) {
        return false;
    }
#endif
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
    if (::fchmod(fd, old.st_mode & 07777) != 0) {
        return false;
    }
#ifdef __linux__
    // The ACL comes last: it sets the permission bits that it covers.
    return copy_attributes({dest.replaced.get(), dest.replaced_readable}, fd);
#else
    return true;
#endif
}
