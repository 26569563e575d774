// Asking for the password at the terminal, so that it never reaches the
// command line, the process list or the shell's history.
#pragma once

#include <cstddef>

// The longest line a terminal delivers in canonical mode, and so the longest
// password that can be typed, with room for its terminator.
inline constexpr std::size_t password_capacity = 4096;

enum class prompt_result { entered, no_terminal, empty, mismatch, too_long };

// Reads a password from the controlling terminal with its echo turned off,
// into buffer (password_capacity bytes, terminated with a zero byte), asking a
// second time when confirm is set. The prompts and the typed text stay on the
// terminal. The terminal's settings are restored on every way out, a signal
// that ends the process included. Whatever the result, only an entered
// password is left in buffer; everything else typed is zeroed.
prompt_result read_password(char* buffer, bool confirm);

// Overwrites a password with zero bytes in a way the compiler keeps.
void scrub(char* text);
