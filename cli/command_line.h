// The command line: where each argument stands (the one place that says so,
// for the run and for the platforms that convert or blank arguments), and
// what a given command line asks for.
#pragma once

#include <string_view>

// Positions on the command line; the program's name is at 0.
namespace argument_at {
inline constexpr int source = 1;
inline constexpr int destination = 2;
inline constexpr int password = 3;
inline constexpr int mode = 4;
}  // namespace argument_at

// A command line with fewer arguments than this is not a run.
inline constexpr int run_argument_count = 5;

// Whether the argument at position i of a command line of argc arguments is
// the password of a run.
constexpr bool is_password_argument(int i, int argc)
{
    return i == argument_at::password && argc >= run_argument_count;
}

// Whether the argument at position i stands where a run names a file (the
// source or the destination), on a command line of any length.
constexpr bool is_file_position(int i)
{
    return i == argument_at::source || i == argument_at::destination;
}

enum class request {
    run,      // the four arguments of a run
    version,  // --version alone
    help,     // --help alone
    banner,   // anything else short of a run: the usage banner, and status 1
};

struct command_line {
    request asked = request::banner;
    // For a run: the arguments as given. The password may be overwritten in
    // place, so that it no longer shows in the process list.
    const char* source = nullptr;
    const char* destination = nullptr;
    char* password = nullptr;
    std::string_view mode;
};

command_line parse_command_line(int argc, char** argv);
