// What the destination's parts share: finding the destination
// (destination.cpp), the temporary file's life (temporary.cpp) and carrying
// the replaced file's metadata over (metadata.cpp).
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

// Copies the part of path before its last slash into folder ("." or "/" when
// there is none; empty when it does not fit), and returns what follows it.
const char* split_path(const char* path, char (&folder)[PATH_MAX]);

// Replaces path, a symbolic link, by where it leads: its text, taken from
// the link's folder when it is relative. False when path is not a link.
bool follow_link(char (&path)[PATH_MAX]);

// What named_descriptor finds besides a descriptor number.
inline constexpr int not_a_descriptor = -1;
inline constexpr int foreign_descriptor = -2;  // another process's descriptor

// The descriptor of this process that path names through its descriptor
// folder, under any spelling (/dev/stdout, /dev//stdout, //dev/fd/1,
// /proc/thread-self/fd/1, stdout inside /dev, ...); not_a_descriptor when
// path leads elsewhere, foreign_descriptor when it leads into another
// process's descriptor folder.
int named_descriptor(const char* path);

// Creates the temporary file in dest.folder, readable and writable by its
// owner only, and registers it for removal should the run be interrupted.
bool create_temporary(destination& dest);

// Gives the finished temporary file the replaced file's owner, group, mode,
// ACL and extended attributes, or the permissions a new file gets in that
// folder. False on a failure other than not being allowed to.
bool carry_metadata(const destination& dest);
