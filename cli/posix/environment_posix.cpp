// The environment: the process's own memory, where /proc/PID/environ shows
// it from, so that overwriting a value there hides it.
#include <cstdlib>

#include "platform.h"

variable environment_value(const char* name, bool /* password: bytes as they are */, char*& value)
{
    value = std::getenv(name);
    return value != nullptr ? variable::set : variable::unset;
}
