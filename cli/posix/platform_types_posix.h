// The files of a run on a POSIX system.
//
// A regular (or not yet existing) destination is only ever written to a new
// temporary file in its folder, flushed to the disk, and renamed over it once
// every byte is written and the file is closed; the folder is flushed after
// the rename. The folder is opened once and the temporary file is created,
// renamed and removed relative to it, so moving the folder during a run loses
// nothing. A destination that is not a regular file (a device, a FIFO) is
// written directly, and one that names an open descriptor (/dev/stdout,
// /dev/fd/N) is written through that descriptor as the caller opened it.
#pragma once

#include <limits.h>
#include <sys/stat.h>

#include "fd_posix.h"
#include "signals_posix.h"

struct source_file {
    unique_fd fd;
    struct stat st {};
    bool shared = false;  // fd is the caller's stream on a file, at the caller's position
};

// Discards itself (closes the output, removes the temporary file) unless
// committed.
struct destination {
    destination() = default;
    destination(const destination&) = delete;
    destination& operator=(const destination&) = delete;
    ~destination();

    unique_fd fd;                    // where the output goes
    bool direct = false;             // fd is the destination itself, written in place
    unique_fd folder;                // the destination's folder, when writing a temporary file
    bool folder_readable = false;    // folder can be flushed itself (not a lookup-only handle)
    char name[NAME_MAX + 1]{};       // the destination's name within folder
    char temporary[32]{};            // the temporary file's name within folder; empty once gone
    struct stat output {};           // the temporary file's device and inode, once created
    bool replaces = false;           // an existing regular file is being replaced
    bool new_name = false;           // the name was free: it must still be at the rename
    off_t written = 0;               // bytes written so far
    off_t written_back = 0;          // of which write-back to the disk has been started
    struct stat previous {};         // the replaced file's metadata, when replaces
    unique_fd replaced;              // the replaced file, held until the output is in place
    bool replaced_open = false;      // replaced is open for reading or writing, not a lookup only
    bool fresh_permissions = false;  // the output gets a new file's owner and permissions
};

// The terminal a password is typed at, and the signal handling its prompt
// replaced.
struct terminal {
    unique_fd fd;
    ending_actions previous_endings;
    struct sigaction previous_stops[3];
};

// A terminal delivers bytes.
using terminal_unit = char;
