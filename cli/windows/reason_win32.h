// How the Windows platform code says why it failed: its own steps return
// false with GetLastError set by the call that failed (handles let go of
// keep it as it was), and each function of the seam turns a failure into
// its outcome at once.
#pragma once

#include <windows.h>

#include "outcome.h"

// The outcome of the step that has just failed.
inline outcome failed_call()
{
    return failure(static_cast<int>(::GetLastError()));
}

// Closes a handle that is let go of, leaving the last error as the failure
// on its way out had set it.
inline void close_quietly(HANDLE handle)
{
    const DWORD error = ::GetLastError();
    ::CloseHandle(handle);
    ::SetLastError(error);
}
