// The console of the password prompt on Windows.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <iterator>
#include <utility>

#include "destination_win32.h"
#include "platform.h"
#include "text_win32.h"

namespace {

// How long a cut-short read of the console waits for the control handler.
constexpr DWORD interruption_wait_ms = 2000;

// The prompt's console input and its mode before the echo went off, for the
// console control handler.
HANDLE volatile prompt_input = nullptr;
DWORD saved_input_mode = 0;

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
            // Ctrl+C ends the read at once, and its handler runs on a thread
            // of its own: the run waits for it to end the process rather
            // than take the cut-short line for an empty password.
            if (interruption_arrives(interruption_wait_ms)) {
                ::Sleep(INFINITE);
            }
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
