#ifdef __linux__
#include <sys/prctl.h>
#endif

#include "run.h"

int main(int argc, char** argv)
{
#ifdef __linux__
    // No core file, and no other user's debugger, ever gets the password or
    // the key table (which decodes as well as the password).
    (void)::prctl(PR_SET_DUMPABLE, 0);
#endif
    return run(parse_command_line(argc, argv));
}
