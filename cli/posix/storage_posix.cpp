// Whether writing one open file or device in place would overwrite what is
// read from another: the same storage seen twice, through loop devices (to
// any depth), partitions, or the device a file system lies on.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "destination_posix.h"

#include "features_posix.h"

// Where the system lets a block device be traced to what lies beneath it.
#define ZODEVIR_TRACES_DEVICES (ZODEVIR_HAVE_LOOP_DEVICES && ZODEVIR_HAVE_STATFS_MAGIC)

#if ZODEVIR_TRACES_DEVICES
#include <linux/loop.h>
#include <linux/magic.h>
#include <linux/major.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#endif

namespace {

// A place bytes are kept in: a file (by device and inode) or a block device
// (by its device number).
struct storage_item {
    bool is_file = false;
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const storage_item&) const = default;
};

// Where an open file's bytes are kept, from the top down: what it is, then
// what a loop device reads and writes, the whole disk of a partition, the
// device a file's file system lies on, and so on to the bottom.
struct storage {
    storage_item items[16];
    int count = 0;
    int same_bytes = 1;    // the first items, joined by loop devices: the same bytes
    int raw = 1;           // the first items reached with no file system between
    bool stacked = false;  // the file is seen through a file system over another (overlay, FUSE)
    bool unknown = false;  // a loop device in it whose backing file cannot be told
    bool holds_inode(ino_t inode) const
    {
        for (int i = 0; i < count; ++i) {
            if (items[i].is_file && items[i].inode == inode) {
                return true;
            }
        }
        return false;
    }
    bool holds(const storage_item& item, int within) const
    {
        for (int i = 0; i < within; ++i) {
            if (items[i] == item) {
                return true;
            }
        }
        return false;
    }
};

#if ZODEVIR_TRACES_DEVICES

// Reads a small sysfs attribute of the block device as it is, terminated;
// returns its length, or 0 when it cannot be read.
std::size_t read_raw_attribute(dev_t device, const char* name, char (&text)[PATH_MAX])
{
    char path[96];
    std::snprintf(path, sizeof path, "/sys/dev/block/%u:%u/%s", major(device), minor(device), name);
    const unique_fd fd(::open(path, O_RDONLY | O_CLOEXEC));
    const ssize_t n = fd.valid() ? read_some(fd.get(), text, sizeof text - 1) : -1;
    if (n <= 0) {
        return 0;
    }
    text[n] = '\0';
    return static_cast<std::size_t>(n);
}

// The same, up to its first line end.
bool read_block_attribute(dev_t device, const char* name, char (&text)[PATH_MAX])
{
    if (read_raw_attribute(device, name, text) == 0) {
        return false;
    }
    text[std::strcspn(text, "\n")] = '\0';
    return true;
}

// Opens the block device by its number, through the name sysfs gives it
// under /dev, checked to be that very device; -1 when it cannot be.
int open_block_device(dev_t device)
{
    // "MAJOR=7\nMINOR=0\nDEVNAME=loop0\n...".
    char all[PATH_MAX];
    const char* name =
        read_raw_attribute(device, "uevent", all) > 0 ? std::strstr(all, "DEVNAME=") : nullptr;
    if (name == nullptr) {
        return -1;
    }
    name += 8;
    char node[PATH_MAX];
    std::snprintf(node, sizeof node, "/dev/%.*s", static_cast<int>(std::strcspn(name, "\n")), name);
    unique_fd fd(::open(node, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st {};
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISBLK(st.st_mode) ||
        st.st_rdev != device) {
        return -1;
    }
    return fd.release();
}

// What sysfs names as a loop device's backing file, when the name can be
// trusted to lead to it: it is printed raw, so a name with a line end in it
// is cut, one that was deleted ends in " (deleted)", and either could lead
// to another file of that name.
bool named_backing(dev_t device, storage_item& out)
{
    char name[PATH_MAX];
    const std::size_t n = read_raw_attribute(device, "loop/backing_file", name);
    if (n <= 1 || name[n - 1] != '\n' || std::memchr(name, '\n', n - 1) != nullptr) {
        return false;
    }
    name[n - 1] = '\0';
    static constexpr char deleted[] = " (deleted)";
    const std::size_t length = n - 1;
    struct stat st {};
    if ((length >= sizeof deleted - 1 &&
         std::strcmp(name + length - (sizeof deleted - 1), deleted) == 0) ||
        ::stat(name, &st) != 0) {
        return false;
    }
    out = S_ISBLK(st.st_mode) ? storage_item{false, st.st_rdev, 0}
                              : storage_item{true, st.st_dev, st.st_ino};
    return true;
}

// What a loop device reads and writes, as the kernel reports it for the open
// device (its backing file's device and inode, never its name): from fd, or
// from the device opened by its number. Where the device cannot be opened,
// from its sysfs name when that can be trusted. not_loop when the device is
// no loop device; unknown when what is beneath it cannot be told.
enum class backing { found, not_loop, unknown };
backing loop_backing(dev_t device, int fd, storage_item& out)
{
    // A partition of a loop device answers for the whole device: it is
    // followed to its disk instead. Two partitions of one disk are two
    // stretches of it, which the kernel keeps from overlapping.
    char probe[PATH_MAX];
    if (read_block_attribute(device, "partition", probe)) {
        return backing::not_loop;
    }
#ifdef LOOP_MAJOR
    if (major(device) != LOOP_MAJOR) {
        return backing::not_loop;
    }
#endif
#ifdef LOOP_GET_STATUS64
    const unique_fd opened(fd >= 0 ? -1 : open_block_device(device));
    const int held = fd >= 0 ? fd : opened.get();
    loop_info64 info{};
    if (held >= 0 && ::ioctl(held, LOOP_GET_STATUS64, &info) == 0) {
        out = info.lo_rdevice != 0 ? storage_item{false, static_cast<dev_t>(info.lo_rdevice), 0}
                                   : storage_item{true, static_cast<dev_t>(info.lo_device),
                                                  static_cast<ino_t>(info.lo_inode)};
        return backing::found;
    }
    if (held >= 0 && errno == ENXIO) {
        return backing::not_loop;  // a loop device with nothing attached
    }
#endif
    if (!read_block_attribute(device, "loop/offset", probe)) {
        return read_block_attribute(device, "dev", probe) ? backing::not_loop : backing::unknown;
    }
    return named_backing(device, out) ? backing::found : backing::unknown;
}

// The whole disk a partition is part of.
bool whole_disk(dev_t device, storage_item& out)
{
    char text[PATH_MAX];
    unsigned disk_major = 0;
    unsigned disk_minor = 0;
    if (!read_block_attribute(device, "partition", text) ||
        !read_block_attribute(device, "../dev", text) ||
        std::sscanf(text, "%u:%u", &disk_major, &disk_minor) != 2) {
        return false;
    }
    out = storage_item{false, makedev(disk_major, disk_minor), 0};
    return true;
}

#endif

storage storage_of([[maybe_unused]] int fd, const struct stat& st)
{
    storage found;
    found.items[0] = S_ISBLK(st.st_mode) ? storage_item{false, st.st_rdev, 0}
                                         : storage_item{true, st.st_dev, st.st_ino};
    found.count = 1;
#if ZODEVIR_TRACES_DEVICES
    struct statfs fs {};
    found.stacked = S_ISREG(st.st_mode) && ::fstatfs(fd, &fs) == 0 &&
                    (fs.f_type == OVERLAYFS_SUPER_MAGIC || fs.f_type == FUSE_SUPER_MAGIC);
    bool loops_only = true;
    bool no_file_system = true;
    while (found.count < static_cast<int>(std::size(found.items))) {
        const storage_item& last = found.items[found.count - 1];
        storage_item next;
        if (last.is_file) {
            // A file system with no device of its own (tmpfs, btrfs's
            // subvolumes) ends the chain, as sysfs knows nothing of it.
            next = storage_item{false, last.device, 0};
            loops_only = no_file_system = false;
        } else if (const backing loop = loop_backing(last.device, found.count == 1 ? fd : -1, next);
                   loop == backing::unknown) {
            found.unknown = true;
            break;
        } else if (loop == backing::found) {
        } else if (whole_disk(last.device, next)) {
            loops_only = false;
        } else {
            break;
        }
        if (found.holds(next, found.count)) {
            break;
        }
        found.items[found.count++] = next;
        found.same_bytes += loops_only ? 1 : 0;
        found.raw += no_file_system ? 1 : 0;
    }
#endif
    return found;
}

}  // namespace

bool overlapping_storage(int written, const struct stat& written_st, int read,
                         const struct stat& read_st)
{
    // A character device, a pipe or a socket is a stream.
    if (!keeps_bytes(written_st) || !keeps_bytes(read_st)) {
        return false;
    }
    const storage out = storage_of(written, written_st);
    const storage in = storage_of(read, read_st);
    // What lies beneath a loop device that cannot be opened, and whose
    // backing file sysfs names untrustworthily (a line end in the name, a
    // deleted file, no /sys), could be what is written: nothing is written
    // in place then.
    if (out.unknown || in.unknown) {
        return true;
    }
    // The same bytes, through loop devices.
    for (int i = 0; i < out.same_bytes; ++i) {
        if (in.holds(out.items[i], in.same_bytes)) {
            return true;
        }
    }
    // What is written in place, a device or a file, anywhere under what is
    // read, file systems included (a file system's image written through a
    // descriptor while a file in it is read); or what is read kept in what
    // is written with no file system between (a loop device over it, a disk
    // and its partition). A file written on a device that is read is written
    // through its file system, as any program's files are, and overwrites
    // nothing.
    if (in.holds(out.items[0], in.count) || out.holds(in.items[0], out.raw)) {
        return true;
    }
    // An overlay, and a FUSE file system passing another through (bindfs),
    // show their files under the inode numbers of the files beneath but on
    // a device of their own: the number alone is all there is to go on,
    // either way round.
    return (out.stacked && in.holds_inode(out.items[0].inode)) ||
           (in.stacked && out.holds_inode(in.items[0].inode));
}
