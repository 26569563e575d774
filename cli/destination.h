// Writing the destination all-or-nothing.
//
// A regular (or not yet existing) destination is only ever written to a new
// temporary file in its folder and renamed over it once every byte is written
// and the file is closed, so a failed or interrupted run leaves the old
// destination as it was and the source may be the destination itself. The
// folder is opened once and the temporary file is created, renamed and removed
// relative to it, so moving the folder during a run loses nothing. A
// destination that is not a regular file (a device, a FIFO) is written
// directly, and one that names an open descriptor (/dev/stdout, /dev/fd/N) is
// written through that descriptor as the caller opened it.
#pragma once

#include <limits.h>
#include <sys/stat.h>

#include "file_io.h"

struct destination {
    unique_fd fd;               // where the output goes
    unique_fd folder;           // the target's folder, when writing a temporary file
    char name[NAME_MAX + 1]{};  // the target's name within folder
    char temporary[32]{};       // the temporary file's name within folder; empty if none
    bool replaces = false;      // an existing regular file is being replaced
    off_t reserved = 0;         // bytes of disk space set aside ahead of writing
    struct stat previous {};    // the replaced file's metadata, when replaces
};

// Arranges for the signals that end a process and that users meet (SIGINT,
// SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2, SIGXCPU, SIGVTALRM,
// SIGPROF) to remove the temporary file before the process ends by that
// signal. Once the output is in place they no longer end the run. Call once,
// before opening a destination.
void install_signal_cleanup();

// True when path names the file or stream that standard output already goes
// to, so that the console text must go elsewhere not to mix with the output.
bool is_standard_output(const char* path);

// Opens the destination named by path for a run whose source is described by
// source. False if it cannot be opened, if no temporary file can be made for
// a regular destination, if the user may not replace it, or if it is a
// descriptor on the source itself.
bool open_destination(const char* path, const struct stat& source, destination& out);

// Sets disk space aside for size bytes of output in the temporary file, where
// the file system can, without changing the file's length. The file system
// then lays the output out in one go instead of block by block as writes
// arrive. Failure is harmless.
void reserve_destination(destination& dest, off_t size);

// Gives the finished output, written bytes long, its final permissions and
// owner and puts it in place. False on any failure, in which case the
// temporary file is already removed.
bool commit_destination(destination& dest, off_t written);

// Abandons the output: closes it and removes the temporary file, if any.
void discard_destination(destination& dest);
