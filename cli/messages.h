// The run's console text. Scripts read it: every byte is fixed.
#pragma once

#include <string_view>

#include "password.h"

inline constexpr std::string_view mode_error = "Error:The mode must be encode or decode:";
inline constexpr std::string_view source_open_error = "Error:Cannot open the source file:";
inline constexpr std::string_view target_open_error = "Error:Cannot open the destiny file:";
inline constexpr std::string_view source_read_error = "Error:Cannot read the source file:";
inline constexpr std::string_view target_write_error = "Error:Cannot write the destiny file:";
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
