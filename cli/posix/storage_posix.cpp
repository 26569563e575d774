// Whether writing one open file or device in place would overwrite what is
// read from another: the same storage seen twice, through loop devices (to
// any depth), partitions, or the device a file system lies on.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "destination_posix.h"

#include "features_posix.h"

// Where the system lets a block device be traced to what lies beneath it.
#define ZODEVIR_TRACES_DEVICES (ZODEVIR_HAVE_LOOP_DEVICES && ZODEVIR_HAVE_STATFS_MAGIC)

#if ZODEVIR_TRACES_DEVICES
#include <linux/loop.h>
#include <linux/magic.h>
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
    bool overlay = false;  // the file is seen through an overlay file system
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

// Reads a small sysfs attribute of the block device, without its line end.
bool read_block_attribute(dev_t device, const char* name, char (&text)[PATH_MAX])
{
    char path[96];
    std::snprintf(path, sizeof path, "/sys/dev/block/%u:%u/%s", major(device), minor(device), name);
    const unique_fd fd(::open(path, O_RDONLY | O_CLOEXEC));
    const ssize_t n = fd.valid() ? read_some(fd.get(), text, sizeof text - 1) : -1;
    if (n <= 0) {
        return false;
    }
    text[n] = '\0';
    text[std::strcspn(text, "\n")] = '\0';
    return true;
}

// What a loop device reads and writes, as the kernel reports it: from the
// device itself when it is open, else from its sysfs entry.
bool loop_backing(dev_t device, int fd, storage_item& out)
{
#ifdef LOOP_GET_STATUS64
    loop_info64 info{};
    if (fd >= 0 && ::ioctl(fd, LOOP_GET_STATUS64, &info) == 0) {
        out = info.lo_rdevice != 0 ? storage_item{false, static_cast<dev_t>(info.lo_rdevice), 0}
                                   : storage_item{true, static_cast<dev_t>(info.lo_device),
                                                  static_cast<ino_t>(info.lo_inode)};
        return true;
    }
#endif
    char path[PATH_MAX];
    struct stat st {};
    if (!read_block_attribute(device, "loop/backing_file", path) || ::stat(path, &st) != 0) {
        return false;
    }
    out = S_ISBLK(st.st_mode) ? storage_item{false, st.st_rdev, 0}
                              : storage_item{true, st.st_dev, st.st_ino};
    return true;
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
    found.overlay =
        S_ISREG(st.st_mode) && ::fstatfs(fd, &fs) == 0 && fs.f_type == OVERLAYFS_SUPER_MAGIC;
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
        } else if (loop_backing(last.device, found.count == 1 ? fd : -1, next)) {
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
    // An overlay shows its files under inode numbers of the files beneath but
    // on a device of its own: the number alone is all there is to go on.
    const storage& seen = out.overlay ? out : in;
    const storage& other = out.overlay ? in : out;
    if (seen.overlay) {
        for (int i = 0; i < other.count; ++i) {
            if (other.items[i].is_file && other.items[i].inode == seen.items[0].inode) {
                return true;
            }
        }
    }
    return false;
}
