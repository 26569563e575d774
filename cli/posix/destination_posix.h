// What the destination's parts share: finding it (destination_posix.cpp,
// place_posix.cpp, descriptor_name_posix.cpp), the temporary file's life
// (temporary_posix.cpp), carrying the replaced file's metadata over
// (metadata_posix.cpp) and putting the output in place (commit_posix.cpp).
#pragma once

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>

#include <cstdio>

#include "platform.h"

// Links followed before a chain counts as a loop, as the kernel counts them.
inline constexpr int max_link_hops = 40;

// Looking a file up without opening it for reading or writing. Without
// O_PATH the lookup opens it for reading, without waiting on a FIFO.
#ifdef O_PATH
inline constexpr int lookup_flags = O_PATH;
#else
inline constexpr int lookup_flags = O_RDONLY | O_NONBLOCK;
#endif

// The name under which /proc shows the open file fd, for the calls that take
// a path (readlink, getxattr).
struct proc_fd_path {
    char text[32];
};
inline proc_fd_path proc_path_of(int fd)
{
    proc_fd_path path{};
    std::snprintf(path.text, sizeof path.text, "/proc/self/fd/%d", fd);
    return path;
}

inline bool same_file(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether the file keeps what is written to it (a regular file or a block
// device), rather than passing it on as a stream does.
inline bool keeps_bytes(const struct stat& st)
{
    return S_ISREG(st.st_mode) || S_ISBLK(st.st_mode);
}

// Copies the part of path before its last slash into folder ("." or "/" when
// there is none; empty when it does not fit), and returns what follows it.
const char* split_path(const char* path, char (&folder)[PATH_MAX]);

// A name within an open folder: where a path leads, taken one link at a
// time relative to folder handles, so that neither /proc nor a path that
// fits PATH_MAX is needed.
struct place {
    unique_fd folder;  // a lookup handle on the folder
    char name[NAME_MAX + 1]{};
};

// The folder that path's last part lies in (a relative path starts at the
// folder at, or at the working folder for AT_FDCWD), and that part. False
// when there is no last part (a path ending in a slash), it is too long, or
// the folder cannot be looked up.
bool place_of(int at, const char* path, place& out);

// What looking a name up found, without following it: nothing, a link, or
// the file itself, held by a lookup handle (none for a link on a system
// without O_PATH).
struct found_name {
    bool exists = false;
    unique_fd fd;
    struct stat st {};
};

// Looks the name up in its folder once, without following it. False on an
// error other than there being nothing of that name.
bool look_up(const place& where, found_name& out);

// Whether a link found at where may be followed: the kernel's rule for links
// in sticky, world-writable folders, whatever fs.protected_symlinks says.
// False, with errno EACCES, when not.
bool may_follow(const place& where, const struct stat& link);

// Follows the link found at where: reads it from its lookup handle, moves
// where to what it names and looks that up. False on a failure.
bool follow_link(place& where, found_name& found);

// Follows links from where until found is no link (or nothing), up to
// max_link_hops of them; ELOOP past that.
bool walk_to_end(place& where, found_name& found);

// What named_descriptor finds besides a descriptor number.
inline constexpr int not_a_descriptor = -1;
inline constexpr int refused_descriptor = -2;  // another process's, or no descriptor's name

// The descriptor of this process that path names through its descriptor
// folder, under any spelling (/dev/stdout, /dev//stdout, //dev/fd/1,
// /proc/thread-self/fd/1, stdout inside /dev, ...); not_a_descriptor when
// path leads elsewhere, refused_descriptor when it leads into another
// process's descriptor folder or names no descriptor there.
int named_descriptor(const char* path);

// True when writing the open file or device written in place would
// overwrite what is read from the other: the same bytes through loop devices
// at any depth, a device under the other's file system, a disk and its
// partition, or an overlay's view of a loop device's backing file.
bool overlapping_storage(int written, const struct stat& written_st, int read,
                         const struct stat& read_st);

// Reads an extended attribute of an open file or folder into value; a folder
// held only for lookups is read without /proc where there is none. Returns
// the size, or -1 with errno set.
ssize_t read_attribute(int fd, bool real, const char* name, void* value, std::size_t size);

// False when an extended attribute of the replaced file cannot be read (a
// user.* attribute of a file its owner may only write): replacing the file
// would lose it.
bool attributes_readable(const destination& dest);

// Creates the temporary file in dest.folder, readable and writable by its
// owner only, and registers it for removal should the run be interrupted.
bool create_temporary(destination& dest);

// Closes the output and removes the temporary file, if any.
void discard_destination(destination& dest);

// Gives the finished temporary file the replaced file's owner, group, mode,
// ACL and extended attributes, or the permissions a new file gets in that
// folder. False on a failure other than not being allowed to.
bool carry_metadata(const destination& dest);
