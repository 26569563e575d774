// The run's console text, and its warnings on standard error. Scripts read
// them: every byte is fixed.
#pragma once

#include <string_view>

#include "build_info.h"
#include "password.h"

inline constexpr std::string_view usage_banner =
    "\n"
    "zodevir " ZODEVIR_VERSION " by " ZODEVIR_MAINTAINER ", released " ZODEVIR_RELEASE_MONTH
    "\n"
    "Web: " ZODEVIR_HOMEPAGE "  E-mail: " ZODEVIR_CONTACT_EMAIL
    "\n"
    "Parameters: Original_file, destiny_file, password, encode|decode. \n"
    "Example: zodevir.exe file1.txt newfile.txt tarns encode\n";
inline constexpr std::string_view version_line = "zodevir " ZODEVIR_VERSION "\n";
// After the banner, for --help.
inline constexpr std::string_view help_text =
    "An empty password is read from the file $ZODEVIR_PASSWORD_FILE names,\n"
    "or from $ZODEVIR_PASSWORD, or asked for at the terminal.\n"
#ifdef _WIN32
    // Windows has no man: the README comes in the zip beside zodevir.exe.
    "The whole manual: README.md, beside zodevir.exe\n";
#else
    "The whole manual: man zodevir\n";
#endif

inline constexpr std::string_view encode_announcement = "encoding...";
inline constexpr std::string_view decode_announcement = "decoding...";

inline constexpr std::string_view mode_error = "Error:The mode must be encode or decode:";
inline constexpr std::string_view source_open_error = "Error:Cannot open the source file:";
inline constexpr std::string_view destination_open_error = "Error:Cannot open the destiny file:";
inline constexpr std::string_view source_read_error = "Error:Cannot read the source file:";
inline constexpr std::string_view destination_write_error = "Error:Cannot write the destiny file:";
inline constexpr std::string_view password_file_error = "Error:Cannot read the password file:";

// What finding the password reports when it found none.
constexpr std::string_view prompt_error(prompt_result result)
{
    switch (result) {
    case prompt_result::mismatch:
        return "Error:The passwords do not match";
    case prompt_result::too_long:
        return "Error:The password is too long";
    case prompt_result::contains_nul:
        return "Error:The password must not contain a NUL byte";
    case prompt_result::unrepresentable:
        return "Error:The password cannot be represented in the system code page";
    case prompt_result::no_terminal:
        return "Error:There is no terminal to ask for the password on";
    case prompt_result::unreadable_file:
        return password_file_error;
    case prompt_result::empty:
    case prompt_result::entered:
        break;
    }
    return "Error:The password must not be empty";
}

// "Warning:N other hard link(s) to NAME still hold(s) the old bytes".
inline constexpr std::string_view warning_prefix = "Warning:";
inline constexpr std::string_view one_other_link = " other hard link to ";
inline constexpr std::string_view many_other_links = " other hard links to ";
inline constexpr std::string_view still_holds = " still holds the old bytes\n";
inline constexpr std::string_view still_hold = " still hold the old bytes\n";

// "Warning:WHAT is left as PATH", for a file the run could not remove on
// Windows: the old bytes, or the only copy of the output.
inline constexpr std::string_view replaced_file_left = "The replaced file";
inline constexpr std::string_view output_left = "The output";
inline constexpr std::string_view left_as = " is left as ";
inline constexpr std::string_view unnamed_file_left = "a file beside it";
