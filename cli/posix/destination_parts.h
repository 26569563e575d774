// What the destination's parts share: finding the destination
// (destination.cpp), the temporary file's life (temporary.cpp) and carrying
// the replaced file's metadata over (metadata.cpp).
#pragma once

#include <sys/stat.h>

#include "platform.h"

inline bool same_file(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Creates the temporary file in dest.folder, readable and writable by its
// owner only, and registers it for removal should the run be interrupted.
bool create_temporary(destination& dest);

// Gives the finished temporary file the replaced file's owner, group, mode,
// ACL and extended attributes, or the permissions a new file gets in that
// folder. False on a failure other than not being allowed to.
bool carry_metadata(const destination& dest);
