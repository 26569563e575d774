// Writing the destination all-or-nothing.
//
// A regular (or not yet existing) destination is written to a new temporary
// file beside it and renamed over it only once every byte is written and the
// file is closed, so a failed or interrupted run leaves the old destination
// as it was and the source may be the destination itself. A destination that
// is not a regular file (a device, a FIFO) is written directly.
#pragma once

#include <sys/stat.h>

#include <string>

#include "file_io.h"

struct destination {
    unique_fd fd;
    std::string target;       // the file that receives the output, links resolved
    std::string temporary;    // empty when the target is written directly
    bool replaces = false;    // an existing regular file is being replaced
    off_t reserved = 0;       // bytes of disk space set aside ahead of writing
    struct stat previous {};  // the replaced file's metadata, when replaces
};

// Arranges for SIGINT, SIGTERM and SIGHUP to remove the temporary file before
// the process ends by that signal. Call once, before opening a destination.
void install_signal_cleanup();

// Opens the destination named by path for a run whose source is described by
// source. False if it cannot be opened, or if it would have to be written
// directly while it is the source itself (that would destroy the source).
bool open_destination(const char* path, const struct stat& source, destination& out);

// Sets disk space aside for size bytes of output in the temporary file, where
// the file system can, without changing the file's length. The file system
// then lays the output out in one go instead of block by block as writes
// arrive. Failure is harmless.
void reserve_destination(destination& dest, off_t size);

// Gives the finished output, written bytes long, its final permissions and
// puts it in place. False on any failure, in which case the temporary file is
// already removed.
bool commit_destination(destination& dest, off_t written);

// Abandons the output: closes it and removes the temporary file, if any.
void discard_destination(destination& dest);
