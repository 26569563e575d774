// Where a run's password comes from when the argument is empty, and the rules
// it must meet wherever it comes from.
#pragma once

#include <cstddef>

#include "outcome.h"

struct source_file;

// Room for the longest password that can be typed at the terminal, with its
// terminator. A terminal delivers at most 4095 bytes of a line and drops the
// rest, so a line that fills all 4095 may have been cut: the longest password
// taken is 4094 units.
inline constexpr std::size_t password_capacity = 4096;

enum class prompt_result {
    entered,
    no_terminal,
    empty,
    mismatch,
    too_long,
    contains_nul,     // a NUL byte (Ctrl-@) was typed: no argument could hold it
    unrepresentable,  // Windows: a character the system code page lacks
    unreadable_file,  // the password file cannot be read
};

// The environment variables a script gives the password in, so that it
// shows in no process's command line.
inline constexpr char password_file_variable[] = "ZODEVIR_PASSWORD_FILE";
inline constexpr char password_variable[] = "ZODEVIR_PASSWORD";

// Finds the run's password. A non-empty argument is the password. An empty
// one means: the first line of the file ZODEVIR_PASSWORD_FILE names (its
// bytes, without the line's \n or \r\n), else the value of
// ZODEVIR_PASSWORD, else what is typed at the terminal, asked twice when
// confirm is set. The same rules hold for each: not empty, no NUL byte, at
// most password_capacity - 2 bytes from a file or the terminal. On success
// password points at it (buffer, password_capacity bytes, may hold it); on
// an unreadable file, file says which and why.
struct password_file {
    const char* name = nullptr;
    outcome why;
};
prompt_result find_password(char*& password, char* buffer, bool confirm, password_file& file);

// Reads a password from the terminal with its echo turned off, into buffer
// (password_capacity bytes, terminated with a zero byte), asking a second
// time when confirm is set. The prompts and the typed text stay on the
// terminal, whose settings are restored on every way out, interruptions
// included. Whatever the result, only an entered password is left in buffer.
// The terminal is the run's own, or, when a terminal is named as the password
// file, that one (named, as opened).
prompt_result read_password(char* buffer, bool confirm, const source_file* named = nullptr);
