// What the destination's parts share on Windows: finding it
// (destination_win32.cpp), the temporary file and interruptions
// (temporary_win32.cpp), and putting the output in place (commit_win32.cpp).
#pragma once

#include <windows.h>

#include "platform.h"
#include "text_win32.h"

// Paths are kept as full UTF-16 paths with the \\?\ prefix. One run writes
// one destination, so its names live in one place, where the console control
// handler finds them too.
extern wchar_t destination_path[path_capacity];
extern wchar_t temporary_path[path_capacity];

// A scanner or an indexer may hold a file for a moment; opening or replacing
// a file that meets one is retried for about a second.
inline constexpr int busy_retries = 20;
inline constexpr DWORD busy_wait_ms = 50;

// Errors that say another program holds the file for now.
bool is_busy(DWORD error);

// Calls attempt() until it succeeds, or until it fails with an error that
// held() does not take for a brief hold by another program, or busy_retries
// times over. On failure GetLastError is attempt's last error.
template <typename Attempt, typename Held>
bool retry_while_held(Attempt attempt, Held held)
{
    for (int tried = 0;; ++tried) {
        if (attempt()) {
            return true;
        }
        const DWORD error = ::GetLastError();
        if (tried == busy_retries || !held(error)) {
            ::SetLastError(error);
            return false;
        }
        ::Sleep(busy_wait_ms);
    }
}

// Creates the hidden temporary file beside destination_path, which only the
// current user may open, and registers it for removal on an interruption.
bool create_temporary(destination& out);

// The run and the console control handler (on a thread of its own) share
// the temporary file: the run holds it while putting the output in place.
void hold_temporary();
void release_temporary();

// With the temporary file held: the output is in place, or is the only copy
// left. It is never removed, and an interruption no longer ends the run.
void keep_output(destination& dest);

// The output is flushed under its name: a closing console may end the
// process now.
void run_is_done();

// True when Ctrl+C, Ctrl+Break or the console's closing reached the console
// control handler within wait_ms.
bool interruption_arrives(DWORD wait_ms);
