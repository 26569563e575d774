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
// The last refusal's reason, and the errno it came with.
const char* own_reason = nullptr;
int own_reason_error = 0;

// Takes the last refusal's reason if it came with error, and forgets it.
const char* take_reason(int error)
{
    const char* own = error == own_reason_error ? own_reason : nullptr;
    own_reason = nullptr;
    own_reason_error = 0;
    return own;
}

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

void give_reason(int error, const char* text)
{
    own_reason = text;
    own_reason_error = error;
}

outcome failed_call()
{
    const int error = errno;
    return failure(error, take_reason(error));
}

outcome succeeded()
{
    (void)take_reason(0);
    return success;
}

std::string_view describe(const outcome& why)
{
    if (why.own != nullptr) {
        return why.own;
    }
    return why.code != 0 ? std::strerror(why.code) : "";
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
