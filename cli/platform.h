// What a run needs of the operating system: the source, the destination, the
// console, the terminal and interruptions. Each platform implements it once
// (cli/posix, cli/windows; CMake picks one), and the run itself is the same
// everywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// The platform's source_file and destination types.
#include "platform_types.h"

// ---- Console ----------------------------------------------------------------

// Sends the console text to the error stream from now on (it goes to standard
// output to begin with).
void use_error_console();

// Best-effort console output: the run's outcome never depends on it.
void print(std::string_view text);

// Prints text made of whole lines, each ending in '\n', with the platform's
// own line ends (the usage banner).
void print_lines(std::string_view text);

// ---- Interruptions ------------------------------------------------------------

// Arranges for an interruption (a signal, Ctrl+C) to remove the temporary
// file before the run ends as an interrupted program does, and for a broken
// pipe or an exceeded file size limit to be reported as a failed write.
// At the password prompt it also gives the terminal its settings back. Once
// the output is in place, an interruption no longer ends the run.
void install_interrupt_cleanup();

// ---- Password -------------------------------------------------------------------

// Room for the longest password that can be typed at the terminal, with its
// terminator. A terminal delivers at most 4095 bytes of a line and drops the
// rest, so a line that fills all 4095 may have been cut: the longest password
// taken is 4094 bytes.
inline constexpr std::size_t password_capacity = 4096;

enum class prompt_result {
    entered,
    no_terminal,
    empty,
    mismatch,
    too_long,
    contains_nul,     // a NUL byte (Ctrl-@) was typed: no argument could hold it
    unrepresentable,  // Windows: a character the system code page lacks
};

// Reads a password from the terminal with its echo turned off, into buffer
// (password_capacity bytes, terminated with a zero byte), asking a second
// time when confirm is set. The prompts and the typed text stay on the
// terminal, whose settings are restored on every way out, interruptions
// included. Whatever the result, only an entered password is left in buffer.
prompt_result read_password(char* buffer, bool confirm);

// Overwrites a password with zero bytes in a way the compiler keeps, and, for
// the password argument, wherever the platform shows the command line.
void scrub_password(char* password);

// ---- Source ---------------------------------------------------------------------

// Opens the source for reading. False when it cannot be opened or is a
// directory.
bool open_source(const char* path, source_file& out);

// The source's length when it is a regular file, or -1.
std::int64_t source_size(const source_file& source);

// One read: bytes read, 0 at the end, -1 on an error.
std::int64_t read_source(source_file& source, void* buffer, std::size_t size);

// Closes the source; reading is over.
void close_source(source_file& source);

// ---- Destination ------------------------------------------------------------------

// True when path names the file or stream that standard output already goes
// to, so that the console text must go elsewhere not to mix with the output.
bool is_standard_output(const char* path);

// Opens the destination named by path. A regular (or not yet existing)
// destination is only ever written to a new temporary file beside it and put
// in place by commit_destination; a device, a pipe or the console is written
// directly. False if it cannot be opened, if no temporary file can be made,
// if the user may not replace it, or if writing it directly would overwrite
// the source.
bool open_destination(const char* path, const source_file& source, destination& out);

// Prepares a long copy of size bytes: read-ahead on the source, and, where
// the platform gains by it, disk space set aside for the output. Failure is
// harmless.
void prepare_copy(source_file& source, destination& dest, std::int64_t size);

// Writes all size bytes; false on an error.
bool write_destination(destination& dest, const void* data, std::size_t size);

// Gives the finished output, written bytes long, its final attributes and
// puts it in place. False on any failure, in which case the temporary file is
// already removed.
bool commit_destination(destination& dest, std::uint64_t written);

// Abandons the output: closes it and removes the temporary file, if any.
void discard_destination(destination& dest);
