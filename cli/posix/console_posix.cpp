// The console text of a run: standard output, or standard error when the
// output itself goes to standard output.
#include <unistd.h>

#include "fd_posix.h"
#include "platform.h"

namespace {

int console_fd = STDOUT_FILENO;

}  // namespace

void use_error_console()
{
    console_fd = STDERR_FILENO;
}

void print(std::string_view text)
{
    (void)write_all(console_fd, text.data(), text.size());
}

void print_lines(std::string_view text)
{
    print(text);
}
