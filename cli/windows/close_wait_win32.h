// How long the console control handler may wait for the run's last flush.
#pragma once

#include <windows.h>

// How long a console closed at arrived (ms) may still wait, at now, for the
// last flush: the 4.5 s of the 5 s Windows allows that are left.
inline DWORD close_wait_left(ULONGLONG arrived, ULONGLONG now)
{
    constexpr ULONGLONG allowed = 4500;
    const ULONGLONG spent = now - arrived;
    return spent < allowed ? static_cast<DWORD>(allowed - spent) : 0;
}
