// The console of the password prompt, and scrubbing the password, on
// Windows.
#include <windows.h>

#include <corecrt_startup.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <iterator>
#include <utility>

#include "command_line.h"
#include "platform.h"
#include "sweep_win32.h"
#include "text_win32.h"

namespace {

// The prompt's console input and its mode before the echo went off, for the
// console control handler.
HANDLE volatile prompt_input = nullptr;
DWORD saved_input_mode = 0;

// The password argument as the system received it (see scrub_password), and
// the mode argument that follows it.
wchar_t* password_argument = nullptr;
const wchar_t* mode_argument = nullptr;

void close_handles(terminal& term)
{
    for (void** handle : {&term.input, &term.output}) {
        if (*handle != nullptr) {
            ::CloseHandle(handle_of(*handle));
            *handle = nullptr;
        }
    }
}

}  // namespace

void restore_console_input()
{
    if (HANDLE input = prompt_input) {
        ::SetConsoleMode(input, saved_input_mode);
    }
}

bool open_quiet_terminal(terminal& term, const source_file* /* named: there is one console */)
{
    for (auto [name, handle] : {std::pair{L"CONIN$", &term.input}, {L"CONOUT$", &term.output}}) {
        HANDLE opened =
            ::CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_EXISTING, 0, nullptr);
        *handle = opened != INVALID_HANDLE_VALUE ? opened : nullptr;
    }
    DWORD mode = 0;
    if (term.input == nullptr || term.output == nullptr ||
        !::GetConsoleMode(handle_of(term.input), &mode)) {
        close_handles(term);
        return false;
    }
    saved_input_mode = mode;
    prompt_input = handle_of(term.input);
    if (!::SetConsoleMode(handle_of(term.input),
                          (mode | ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT) &
                              ~static_cast<DWORD>(ENABLE_ECHO_INPUT))) {
        close_terminal(term);
        return false;
    }
    return true;
}

void show_prompt(terminal& term, const char* prompt)
{
    wchar_t wide[64];
    std::size_t length = 0;
    for (; prompt[length] != '\0' && length + 1 < std::size(wide); ++length) {
        wide[length] = static_cast<wchar_t>(prompt[length]);
    }
    DWORD written = 0;
    ::WriteConsoleW(handle_of(term.output), wide, static_cast<DWORD>(length), &written, nullptr);
}

bool read_unit(terminal& term, terminal_unit& unit)
{
    for (;;) {
        DWORD got = 0;
        if (!::ReadConsoleW(handle_of(term.input), &unit, 1, &got, nullptr) || got == 0) {
            return false;
        }
        // The console ends a line with CR LF; the line ends at the LF.
        if (unit != L'\r') {
            return true;
        }
    }
}

void end_hidden_line(terminal& term)
{
    DWORD written = 0;
    ::WriteConsoleW(handle_of(term.output), L"\r\n", 2, &written, nullptr);
}

void close_terminal(terminal& term)
{
    restore_console_input();
    prompt_input = nullptr;
    close_handles(term);
}

bool password_bytes(const terminal_unit* line, char* out, std::size_t capacity)
{
    return to_code_page(line, out, capacity);
}

void scrub_memory(void* data, std::size_t size)
{
    ::SecureZeroMemory(data, size);
}

void remember_password_argument(wchar_t* password, const wchar_t* mode)
{
    password_argument = password;
    mode_argument = mode;
}

namespace {

// Overwrites the password argument with spaces in a raw command line, found by
// splitting the line as the C run-time library splits it, never by
// searching for its text.
template <typename Char>
void blank_password_in(Char* line)
{
    std::size_t begin = 0;
    std::size_t end = 0;
    if (line != nullptr && argument_span(line, argument_at::password, begin, end)) {
        for (std::size_t i = begin; i < end; ++i) {
            line[i] = ' ';
        }
    }
}

template <typename Char>
void zero_argument(Char** arguments, int count)
{
    constexpr int at = argument_at::password;
    if (arguments != nullptr && is_password_argument(at, count) && arguments[at] != nullptr) {
        std::size_t length = 0;
        while (arguments[at][length] != 0) {
            ++length;
        }
        scrub_memory(arguments[at], length * sizeof(Char));
    }
}

// Copies of the command line, and argument blocks, that the system and the
// run-time library made at start-up and let go of: found by their content,
// narrow (password holds the argument in the code page) and wide.
void sweep_command_line(const char* password)
{
    static wchar_t wide_line[32768];
    static char narrow_line[32768 * 2];
    alignas(wchar_t) static unsigned char block[2 * (4096 + 16)];
    const wchar_t* line = ::GetCommandLineW();
    const char* ansi = ::GetCommandLineA();
    std::size_t begin = 0;
    std::size_t end = 0;
    if (line != nullptr && wcslen(line) < std::size(wide_line) &&
        argument_span(line, argument_at::password, begin, end)) {
        const std::size_t length = wcslen(line);
        wmemcpy(wide_line, line, length);
        sweep_copies(wide_line, length * sizeof(wchar_t), begin * sizeof(wchar_t),
                     end * sizeof(wchar_t), sizeof(wchar_t));
    }
    if (ansi != nullptr && std::strlen(ansi) < sizeof narrow_line &&
        argument_span(ansi, argument_at::password, begin, end)) {
        const std::size_t length = std::strlen(ansi);
        std::memcpy(narrow_line, ansi, length);
        sweep_copies(narrow_line, length, begin, end, 1);
    }
    // In an argument block, as the password argument and the mode argument
    // after it: "\0password\0encode\0". The mode word makes the pattern too
    // long and too particular to stand anywhere else: the password alone,
    // one byte of it between two zeros, also stands in the key and in any
    // UTF-16 text (a folder's name), which must never be touched.
    const std::size_t narrow_length = std::strlen(password);
    const std::size_t wide_length = wcslen(password_argument);
    const std::size_t mode_length = wcslen(mode_argument);
    if (narrow_length + mode_length + 3 <= sizeof block) {
        block[0] = 0;
        std::memcpy(block + 1, password, narrow_length + 1);
        for (std::size_t i = 0; i <= mode_length; ++i) {
            block[narrow_length + 2 + i] = static_cast<unsigned char>(mode_argument[i]);
        }
        sweep_copies(block, narrow_length + mode_length + 3, 1, narrow_length + 1, 0);
    }
    if ((wide_length + mode_length + 3) * sizeof(wchar_t) <= sizeof block) {
        auto* wide = reinterpret_cast<wchar_t*>(block);
        wide[0] = 0;
        wmemcpy(wide + 1, password_argument, wide_length + 1);
        wmemcpy(wide + wide_length + 2, mode_argument, mode_length + 1);
        sweep_copies(block, (wide_length + mode_length + 3) * sizeof(wchar_t), sizeof(wchar_t),
                     (wide_length + 1) * sizeof(wchar_t), 0);
    }
    scrub_memory(wide_line, sizeof wide_line);
    scrub_memory(narrow_line, sizeof narrow_line);
    scrub_memory(block, sizeof block);
}

}  // namespace

void scrub_password(char* password)
{
    const bool argument = password_argument != nullptr && *password_argument != L'\0';
    if (argument) {
        sweep_command_line(password);
    }
    scrub_memory(password, std::strlen(password));
    if (!argument) {
        return;
    }
    // Every copy of the command line that another process, or a crash dump,
    // could read: the process's own (wide, and the ANSI one the system made
    // of it), the C run-time library's copies of the whole line (_wcmdln,
    // _acmdln) and its argument blocks (wmain was handed a copy of them),
    // and the argument wmain received.
    blank_password_in(::GetCommandLineW());
    blank_password_in(::GetCommandLineA());
    blank_password_in(_wcmdln);
    blank_password_in(_acmdln);
    zero_argument(__wargv, __argc);
    zero_argument(__argv, __argc);
    scrub_memory(password_argument, wcslen(password_argument) * sizeof(wchar_t));
    password_argument = nullptr;
}
