// The password leaves the process's memory: zeroed where it was given.
#include <string.h>

#include <cstring>

#include "features_posix.h"
#include "platform.h"

void scrub_memory(void* data, std::size_t size)
{
#if ZODEVIR_HAVE_EXPLICIT_BZERO
    ::explicit_bzero(data, size);
#else
    // Through a volatile pointer, which the compiler may not drop.
    auto* volatile bytes = static_cast<volatile unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = 0;
    }
#endif
}

void scrub_password(char* password)
{
    // The password argument lives in the memory the kernel shows the command
    // line from (ps, /proc/PID/cmdline), so zeroing it there hides it.
    scrub_memory(password, std::strlen(password));
}
