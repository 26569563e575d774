// What a step of the run came to: done, or why not. The reason is taken at
// the call that failed, before anything else can run: the system's error
// code there (errno on POSIX systems, GetLastError on Windows), and for a
// refusal the run decides itself, its own words, which a terminal shows in
// place of the code's text ("it is the source"). The run formats it only
// when it reports the failure, so no reason depends on what ran in between.
#pragma once

struct outcome {
    bool ok = true;
    int code = 0;               // the system's error code; 0 when it gave none
    const char* own = nullptr;  // the run's own reason (static text), or null
    explicit operator bool() const { return ok; }
};

inline constexpr outcome success{};

constexpr outcome failure(int code, const char* own = nullptr)
{
    return outcome{false, code, own};
}
