// The run's own reason for refusing a destination, which a terminal shows in
// place of the system's error text: the errno a refusal sets says little of
// what the run found ("Invalid argument" for a destination that is the
// source). Scripts, which see no reason, read the same text either way.
#pragma once

#include <cerrno>

// Sets the reason failure_reason() gives from now on. text lasts as long as
// the program does (a literal, or static storage).
void give_reason(const char* text);

// A refusal of the run's own: errno says it to callers, text to a person.
inline bool refuse_because(int error, const char* text)
{
    errno = error;
    give_reason(text);
    return false;
}
