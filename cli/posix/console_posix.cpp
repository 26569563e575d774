// The console text of a run: standard output, or standard error when the
// output itself goes to standard output.
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fd_posix.h"
#include "platform.h"
#include "reason_posix.h"

namespace {

int console_fd = STDOUT_FILENO;
const char* own_reason = nullptr;

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

bool console_is_terminal()
{
    return ::isatty(console_fd) == 1;
}

void give_reason(const char* text)
{
    own_reason = text;
}

std::string_view failure_reason()
{
    if (own_reason != nullptr) {
        return own_reason;
    }
    return errno != 0 ? std::strerror(errno) : "";
}

void print_error(std::string_view text)
{
    (void)write_all(STDERR_FILENO, text.data(), text.size());
}

bool error_is_terminal()
{
    return ::isatty(STDERR_FILENO) == 1;
}

bool console_is_error_terminal()
{
    struct stat console {};
    struct stat error {};
    return error_is_terminal() && console_is_terminal() && ::fstat(console_fd, &console) == 0 &&
           ::fstat(STDERR_FILENO, &error) == 0 && console.st_rdev == error.st_rdev;
}

int error_terminal_columns()
{
    winsize size{};
    return ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

std::uint64_t monotonic_ms()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000 +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000000;
}
