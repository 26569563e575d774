// The files of a run on Windows.
//
// A regular (or not yet existing) destination is only ever written to a new,
// hidden temporary file in its folder and put in place with ReplaceFileW
// (which keeps the replaced file's attributes and security descriptor) or
// MoveFileExW once every byte is written and the file is closed. A
// destination that is not a disk file (NUL, CON, a pipe) is written directly.
// Handles are kept as void* so that this header needs no <windows.h>.
#pragma once

#include <cstdint>

// Closes itself when it goes, however the run ends.
struct source_file {
    source_file() = default;
    source_file(const source_file&) = delete;
    source_file& operator=(const source_file&) = delete;
    ~source_file();

    void* handle = nullptr;  // null when not open
    std::int64_t size = -1;  // the length of a disk file, or -1
};

// Discards itself (closes the output, removes the temporary file) unless
// committed.
struct destination {
    destination() = default;
    destination(const destination&) = delete;
    destination& operator=(const destination&) = delete;
    ~destination();

    void* handle = nullptr;        // where the output goes; null when not open
    bool temporary = false;        // the output goes to a temporary file
    bool replaces = false;         // an existing file is being replaced
    unsigned long attributes = 0;  // the replaced file's attributes, when replaces
    std::uint64_t written = 0;     // bytes written so far
    unsigned long links = 0;       // the replaced file's hard links, when replaces
};

// The console a password is typed at.
struct terminal {
    void* input = nullptr;   // CONIN$
    void* output = nullptr;  // CONOUT$
};

// The console delivers UTF-16 units.
using terminal_unit = wchar_t;
