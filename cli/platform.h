// What a run needs of the operating system: the source, the destination, the
// console, the terminal and interruptions. Each platform implements it once,
// in files whose names say the platform, as ninja names its own:
// cli/posix/*_posix.cpp and cli/windows/*_win32.cpp. cli/CMakeLists.txt
// compiles one set (Windows when WIN32, POSIX otherwise), and the run
// itself, cli/run.cpp, is the same everywhere. A definition that no longer
// matches a declaration here fails the build (-Wmissing-declarations).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "outcome.h"

// The platform's source_file, destination and terminal types.
#ifdef _WIN32
#include "windows/platform_types_win32.h"
#else
#include "posix/platform_types_posix.h"
#endif

// ---- Console ----------------------------------------------------------------

// Sends the console text to standard error from now on (it goes to standard
// output to begin with).
void use_error_console();

// Best-effort console output: the run's outcome never depends on it.
void print(std::string_view text);

// Prints text made of whole lines, each ending in '\n', with the platform's
// own line ends (the usage banner).
void print_lines(std::string_view text);

// True when the console text goes to a terminal, where a person reads it.
bool console_is_terminal();

// Why a step failed, as a person reads it: the run's own reason, or what the
// system says of its error code ("No such file or directory"); empty when
// there is neither. Valid until the next call.
std::string_view describe(const outcome& why);

// Best-effort text on standard error (warnings, the progress line), and
// whether standard error is a terminal, and the same one the console text
// goes to.
void print_error(std::string_view text);
bool error_is_terminal();
bool console_is_error_terminal();

// The width of the terminal standard error shows on, in columns; 0 when it
// is not known.
int error_terminal_columns();

// Milliseconds from some fixed moment, never going back.
std::uint64_t monotonic_ms();

// ---- Environment ------------------------------------------------------------------

enum class variable { unset, set, unrepresentable };

// The value of an environment variable: a path as the run takes paths, or,
// for a password, its bytes as the platform's command line would deliver
// them. Overwriting a password's value (scrub_password) wipes it from the
// process's environment.
variable environment_value(const char* name, bool password, char*& value);

// ---- Interruptions ------------------------------------------------------------

// Arranges for an interruption (a signal, Ctrl+C) to remove the temporary
// file before the run ends as an interrupted program does, and for a broken
// pipe or an exceeded file size limit to be reported as a failed write.
// At the password prompt it also gives the terminal its settings back. Once
// the output is in place, an interruption no longer ends the run.
void install_interrupt_cleanup();

// ---- Terminal ----------------------------------------------------------------

// What the password prompt needs of the terminal; the rules a typed password
// must meet are the same everywhere (password.cpp). A terminal_unit is what
// the terminal delivers: a byte on POSIX systems, a UTF-16 unit on Windows.

// Opens the terminal and turns its echo off, arranging for its settings to
// come back on every way out, interruptions and stops included: the run's
// own, or the terminal opened as named (one named as the password file),
// where the platform tells terminals apart. False when there is no
// terminal; then there is nothing to close.
bool open_quiet_terminal(terminal& term, const source_file* named);

// Shows a prompt (ASCII), and shows it again should the run be stopped and
// continued while it waits.
void show_prompt(terminal& term, const char* prompt);

// Reads one unit of typed text; false at the end of the input (Ctrl-D) or on
// an error. A line ends with '\n'.
bool read_unit(terminal& term, terminal_unit& unit);

// Ends the line the hidden input was typed on.
void end_hidden_line(terminal& term);

// Gives the terminal its settings back.
void close_terminal(terminal& term);

// The bytes a typed line (terminated with a zero unit) stands for as a
// password, as the platform's command line would have delivered them; false
// when it cannot be represented so.
bool password_bytes(const terminal_unit* line, char* out, std::size_t capacity);

// ---- Password ---------------------------------------------------------------------

// Overwrites memory in a way the compiler keeps.
void scrub_memory(void* data, std::size_t size);

// Overwrites a password with zero bytes, and, for the password argument,
// wherever the platform shows the command line.
void scrub_password(char* password);

// ---- Source ---------------------------------------------------------------------

// Opens the source for reading. Fails when it cannot be opened or is a
// directory.
outcome open_source(const char* path, source_file& out);

// True when the open source is a terminal (a console on Windows).
bool source_is_terminal(const source_file& source);

// The source's length when it is a regular file, or -1: what is left of it
// from where the caller's stream stands, for one read through the caller's
// descriptor.
std::int64_t source_size(const source_file& source);

// True when reading the source past what is wanted takes nothing from
// anyone: a file read through an open of its own. A stream, or a file read
// through the caller's descriptor, whose position the caller and a later
// open of the same name share, must be read no further than wanted.
bool source_may_read_ahead(const source_file& source);

// One read of up to size bytes: got is how many were read, 0 at the end.
outcome read_source(source_file& source, void* buffer, std::size_t size, std::size_t& got);

// Closes the source; reading is over.
void close_source(source_file& source);

// ---- Destination ------------------------------------------------------------------

// True when path names the file or stream that standard output already goes
// to, so that the console text must go elsewhere not to mix with the output.
bool is_standard_output(const char* path);

// Opens the destination named by path. A regular (or not yet existing)
// destination is only ever written to a new temporary file beside it and put
// in place by commit_destination; a device, a pipe or the console is written
// directly. Fails if it cannot be opened, if no temporary file can be made,
// if the user may not replace it, or if writing it directly would overwrite
// the source. A destination discards itself (closes the output and removes
// the temporary file) unless it is committed.
outcome open_destination(const char* path, const source_file& source, destination& out);

// Prepares the copy of the source: read-ahead, and, where the platform gains
// by it, disk space set aside for the output. Failure is harmless.
void prepare_copy(source_file& source, destination& dest);

// True when the output is kept in a file or on a block device, rather than
// streamed to a terminal, a pipe, a socket or another character device,
// whose reader may show it on a terminal.
bool output_is_stored(const destination& dest);

// Writes all size bytes.
outcome write_destination(destination& dest, const void* data, std::size_t size);

// Gives the finished output its final attributes and puts it in place. Fails
// on any failure.
outcome commit_destination(destination& dest);

// How many other hard links the file an output replaced has: names that
// still hold the old bytes.
std::uint64_t other_links(const destination& dest);
