// Carrying the replaced file's metadata over to its replacement (owner,
// group, mode, ACL, extended attributes, security label), or giving a new
// file the permissions it would have had, created by any other program.
//
// The temporary file starts readable and writable by the runner alone, and
// each step from there only narrows or reaches the final state: the owner
// and group first (while no one else has any access), then the ACL (which
// sets the permission bits it covers), then the mode.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "destination_posix.h"
#include "features_posix.h"
#include "reason_posix.h"

#if ZODEVIR_HAVE_LINUX_XATTR
#include <sys/xattr.h>
#endif

namespace {

mode_t current_umask()
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

// Errors that say the process may not set something, or that the file
// system or the user namespace cannot hold it (an owner or an ACL entry
// naming a user the namespace does not map gives EINVAL): it is left
// behind, as an owner is that only root may give.
bool not_allowed(int error)
{
    return error == EPERM || error == EACCES || error == ENOTSUP || error == EOPNOTSUPP ||
           error == ENODATA || error == EINVAL || error == ENOSYS;
}

#if ZODEVIR_HAVE_LINUX_XATTR

// Room for an attribute's value or the list of names: the most Linux stores.
constexpr std::size_t attribute_capacity = 65536;
char attribute_names[attribute_capacity];
unsigned char attribute_value[attribute_capacity];

ssize_t list_attributes(const destination& dest)
{
    if (dest.replaced_open) {
        return ::flistxattr(dest.replaced.get(), attribute_names, sizeof attribute_names);
    }
    return ::listxattr(proc_path_of(dest.replaced.get()).text, attribute_names,
                       sizeof attribute_names);
}

// Every extended attribute but the file capabilities (the transformed bytes
// are not the program that was granted them): the access ACL, user.*,
// trusted.* for root, and the security label.
template <typename Each>
bool for_each_attribute(const destination& dest, Each each)
{
    const ssize_t listed = list_attributes(dest);
    if (listed < 0) {
        return errno == ENOTSUP || errno == EOPNOTSUPP;
    }
    for (const char* name = attribute_names; name < attribute_names + listed;
         name += std::strlen(name) + 1) {
        if (std::strcmp(name, "security.capability") != 0 && !each(name)) {
            return false;
        }
    }
    return true;
}

constexpr char access_acl[] = "system.posix_acl_access";

// Copies the replaced file's attributes to fd. Sets acl_refused when the
// replaced file's ACL could not be set.
bool copy_attributes(const destination& dest, int to, bool& acl_refused)
{
    acl_refused = false;
    return for_each_attribute(dest, [&](const char* name) {
        const ssize_t size = read_attribute(dest.replaced.get(), dest.replaced_open, name,
                                            attribute_value, sizeof attribute_value);
        if (size < 0) {
            // Gone since it was listed, or trusted.* for an ordinary user.
            return errno == ENODATA;
        }
        if (::fsetxattr(to, name, attribute_value, static_cast<std::size_t>(size), 0) == 0) {
            return true;
        }
        acl_refused = acl_refused || std::strcmp(name, access_acl) == 0;
        return not_allowed(errno);
    });
}

// POSIX ACLs as Linux stores them in system.posix_acl_*: a 4-byte version,
// then 8-byte entries of a tag, permissions and an ID, little-endian. They
// are read here by hand rather than through libacl, because the tool loads
// no library but the C library (it starts as cheaply as cat).
constexpr std::size_t acl_header = 4;
constexpr std::size_t acl_entry = 8;
constexpr unsigned acl_user_obj = 0x01;
constexpr unsigned acl_group_obj = 0x04;
constexpr unsigned acl_mask = 0x10;
constexpr unsigned acl_other = 0x20;

// The mode the kernel gives a file created with mode 0666 in a folder with a
// default ACL, as cat > file would get: the owner's, the mask's (the group's
// when there is no mask) and the others' entries without execute. The
// temporary file already inherited the ACL's other entries when it was
// created; setting this mode completes it. Sets found when the folder has a
// default ACL.
bool default_acl_mode(const destination& dest, mode_t& mode, bool& found)
{
    found = false;
    const ssize_t size =
        read_attribute(dest.folder.get(), dest.folder_readable, "system.posix_acl_default",
                       attribute_value, sizeof attribute_value);
    if (size < 0) {
        return errno == ENODATA || errno == ENOTSUP || errno == EOPNOTSUPP;
    }
    const auto length = static_cast<std::size_t>(size);
    if (length < acl_header || (length - acl_header) % acl_entry != 0) {
        return false;
    }
    unsigned owner = 0;
    unsigned group = 0;
    unsigned mask = 0;
    unsigned other = 0;
    bool has_mask = false;
    for (std::size_t at = acl_header; at < length; at += acl_entry) {
        const unsigned tag = attribute_value[at] | static_cast<unsigned>(attribute_value[at + 1])
                                                       << 8;
        const unsigned permissions = attribute_value[at + 2] & 06u;
        if (tag == acl_user_obj) {
            owner = permissions;
        } else if (tag == acl_group_obj) {
            group = permissions;
        } else if (tag == acl_mask) {
            mask = permissions;
            has_mask = true;
        } else if (tag == acl_other) {
            other = permissions;
        }
    }
    mode = static_cast<mode_t>(owner << 6 | (has_mask ? mask : group) << 3 | other);
    found = true;
    return true;
}

#endif

// Sets the permission bits; a file system that keeps no modes (FAT through
// FUSE) or refuses the change leaves the temporary file's owner-only ones,
// which are never wider than the final ones.
bool set_mode(int fd, mode_t mode)
{
    return ::fchmod(fd, mode) == 0 || not_allowed(errno);
}

// The permissions a new file gets in the destination's folder.
bool give_new_file_permissions(const destination& dest)
{
    mode_t mode = 0666 & ~current_umask();
#if ZODEVIR_HAVE_LINUX_XATTR
    // The umask does not apply where the folder has a default ACL.
    bool inherited = false;
    if (!default_acl_mode(dest, mode, inherited)) {
        return false;
    }
#else
    // A default ACL of the folder, which cannot be read here, may give less
    // than the umask does: the file stays its owner's alone rather than
    // risk being more open than other programs would make it.
    mode &= 0600;
#endif
    return set_mode(dest.fd.get(), mode);
}

}  // namespace

ssize_t read_attribute(int fd, bool real, const char* name, void* value, std::size_t size)
{
#if ZODEVIR_HAVE_LINUX_XATTR
    if (real) {
        return ::fgetxattr(fd, name, value, size);
    }
    const ssize_t n = ::getxattr(proc_path_of(fd).text, name, value, size);
    if (n >= 0 || errno != ENOENT) {
        return n;
    }
    // No /proc: a folder held only for lookups is read by stepping into it.
    const unique_fd here(::open(".", lookup_flags | O_DIRECTORY | O_CLOEXEC));
    if (!here.valid() || ::fchdir(fd) != 0) {
        errno = ENOENT;
        return -1;
    }
    const ssize_t read = ::getxattr(".", name, value, size);
    const int error = errno;
    // Going back cannot fail where coming here worked; and the run names
    // nothing by a relative path from here on, so there is nothing to undo.
    if (::fchdir(here.get()) != 0) {
    }
    errno = error;
    return read;
#else
    (void)fd;
    (void)real;
    (void)name;
    (void)value;
    (void)size;
    errno = ENOTSUP;
    return -1;
#endif
}

bool attributes_readable([[maybe_unused]] const destination& dest)
{
#if ZODEVIR_HAVE_LINUX_XATTR
    return for_each_attribute(dest, [&](const char* name) {
        return read_attribute(dest.replaced.get(), dest.replaced_open, name, nullptr, 0) >= 0 ||
               errno == ENODATA;
    });
#else
    // Whatever ACL or attributes the file has would be lost, unseen.
    return refuse_because(ENOTSUP, "its ACL and extended attributes cannot be carried over here");
#endif
}

bool carry_metadata(const destination& dest)
{
    const int fd = dest.fd.get();
    if (!dest.replaces || dest.fresh_permissions) {
        return give_new_file_permissions(dest);
    }
    const struct stat& old = dest.previous;
#if ZODEVIR_HAVE_LINUX_XATTR
    // The temporary file took an ACL from the folder's default one, which
    // the replaced file may not have had: it gets the replaced file's below.
    if (::fremovexattr(fd, access_acl) != 0 && errno != ENODATA && !not_allowed(errno)) {
        return false;
    }
#endif
    // Owner first, while only its owner may open the file: under any other
    // group, the group's rights would briefly go to the wrong people. Only a
    // privileged process may give a file away, but a member of the file's
    // group may still keep the group.
    if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
        if (!not_allowed(errno)) {
            return false;
        }
        if (::fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0 && !not_allowed(errno)) {
            return false;
        }
    }
    mode_t mode = old.st_mode & 07777;
#if ZODEVIR_HAVE_LINUX_XATTR
    // Then the ACL, which sets the permission bits it covers to their final
    // values. Should it be refused, the mode's group bits would be its mask
    // and grant the owning group what the ACL denies it: the group and
    // others are left without access instead.
    bool acl_refused = false;
    if (!copy_attributes(dest, fd, acl_refused)) {
        return false;
    }
    if (acl_refused) {
        mode &= ~static_cast<mode_t>(077);
    }
#endif
    // The mode last: it restores set-id bits that changing the owner clears.
    return set_mode(fd, mode);
}
