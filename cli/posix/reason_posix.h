// How the POSIX platform code says why it failed. Its own steps return false
// with errno set by the call that failed (destructors keep errno as it was),
// and where the run itself refuses, with a reason of its own that a
// terminal shows in place of the errno's text: the errno a refusal sets says
// little of what the run found ("Invalid argument" for a destination that is
// the source). Scripts, which see no reason, read the same text either way.
// Each function of the seam turns a failure into its outcome at once.
#pragma once

#include <cerrno>

#include "outcome.h"

// Notes the reason of the refusal about to be returned with errno error.
// text lasts as long as the program does (a literal, or static storage).
void give_reason(int error, const char* text);

// A refusal the system's own text for error says well enough.
inline bool refuse(int error)
{
    errno = error;
    return false;
}

// A refusal of the run's own: errno says it to the platform code's callers,
// text to a person.
inline bool refuse_because(int error, const char* text)
{
    errno = error;
    give_reason(error, text);
    return false;
}

// The outcome of the step that has just failed: errno, and the run's own
// reason if a refusal with that errno gave one since the last outcome.
outcome failed_call();

// The outcome of a step that succeeded, after whatever it refused and then
// got past: no refusal's reason is kept for a later failure.
outcome succeeded();
