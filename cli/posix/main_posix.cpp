#include <sys/resource.h>

#include "features_posix.h"
#include "run.h"

#if ZODEVIR_HAVE_PRCTL_DUMPABLE
#include <sys/prctl.h>
#endif

int main(int argc, char** argv)
{
    // No core file, and no other user's debugger, ever gets the password or
    // the key table (which decodes as well as the password). Where the
    // process cannot be made undumpable, at least no core file is written.
#if ZODEVIR_HAVE_PRCTL_DUMPABLE
    (void)::prctl(PR_SET_DUMPABLE, 0);
#else
    const rlimit none{0, 0};
    (void)::setrlimit(RLIMIT_CORE, &none);
#endif
    return run(parse_command_line(argc, argv));
}
