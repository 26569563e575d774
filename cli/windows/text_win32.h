// What the Windows files of the platform layer share.
//
// Text: the run works in UTF-8 (paths, messages) and in the ANSI code page
// (password bytes); the system speaks UTF-16.
#pragma once

#include <windows.h>

#include <cstddef>

// Room for the longest path Windows takes, terminator included.
inline constexpr std::size_t path_capacity = 32768;

// Converts a UTF-8 path as given to the full UTF-16 path the system is
// asked for: made absolute, and with the \\?\ prefix that lifts the
// 260-character limit (devices such as NUL and \\.\pipe\ names are left as
// they are). False when it does not fit or is not valid UTF-8.
bool to_system_path(const char* path, wchar_t* out, std::size_t capacity);

// Where the argument at index (0 being the program's name) lies in a raw
// command line, split as the C run-time library splits it for wmain:
// [begin, end), quotes and backslashes included. False when there are not
// that many arguments. The ANSI form splits GetCommandLineA's copy.
// The ANSI form takes a double-byte code page's lead byte and the byte after
// it as one character, as the run-time library does (a trail byte may be a
// backslash's or a quote's).
bool argument_span(const wchar_t* line, int index, std::size_t& begin, std::size_t& end);
bool argument_span(const char* line, int index, std::size_t& begin, std::size_t& end,
                   UINT code_page = CP_ACP);

// Whether the first length characters of a full path (\\?\D:, \\?\UNC\server\share,
// \\?\Volume{...}) name a volume, whose root folder is that and a backslash.
bool is_volume_root(const wchar_t* path, std::size_t length);

// Marks an argument whose UTF-16 text had no UTF-8 form (a lone surrogate,
// which NTFS allows in names), given to the run as converted with
// replacement characters: no file may be opened under that name, which is
// not the one the user gave.
void mark_unrepresentable(const char* argument);
bool is_unrepresentable(const char* argument);

// Converts UTF-8 text to UTF-16 into out (capacity characters, terminator
// included). False when it does not fit or is not valid UTF-8.
bool to_wide(const char* text, wchar_t* out, std::size_t capacity);

// Converts UTF-16 text to UTF-8 into out (capacity bytes, terminator
// included). False when it does not fit.
bool to_utf8(const wchar_t* text, char* out, std::size_t capacity);

// Converts UTF-16 text to the system's ANSI code page, the bytes a
// narrow-character program receives its arguments in, into out. False when
// it does not fit or a character has no exact equivalent in the code page
// (it would silently become '?', and many passwords would share one key).
bool to_code_page(const wchar_t* text, char* out, std::size_t capacity);

// Remembers the password argument as the system received it, and the mode
// argument after it (a valid mode word), so that scrub_password can also
// overwrite it in the process's command line and its argument blocks.
void remember_password_argument(wchar_t* password, const wchar_t* mode);

// A handle kept as void* in the platform types (which need no <windows.h>):
// INVALID_HANDLE_VALUE for none.
inline HANDLE handle_of(void* handle)
{
    return handle != nullptr ? static_cast<HANDLE>(handle) : INVALID_HANDLE_VALUE;
}

// Writes all size bytes to handle; false on an error.
bool write_all(void* handle, const void* data, std::size_t size);

// Keeps every text off standard error from now on (the console text, when it
// goes there, warnings and the progress line): it is the destination's file.
void silence_standard_error();

// Puts back the console input mode that the password prompt changed, if it
// is changed; safe to call from the console control handler.
void restore_console_input();
