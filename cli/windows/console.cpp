// The console, the password prompt and the password's scrubbing on Windows.
#include <windows.h>

#include <cstring>
#include <cwchar>
#include <iterator>

#include "platform.h"
#include "win32.h"

namespace {

DWORD console_stream = STD_OUTPUT_HANDLE;

// The prompt's console input and its mode before the echo went off.
HANDLE volatile prompt_input = nullptr;
DWORD saved_input_mode = 0;

// The password argument as the system received it (see scrub_password).
wchar_t* password_argument = nullptr;

// Text for a console goes through WriteConsoleW, so that any file name shows
// as given whatever the console's code page; redirected, it is UTF-8 bytes.
void write_text(HANDLE handle, std::string_view text)
{
    DWORD mode = 0;
    if (!::GetConsoleMode(handle, &mode)) {
        (void)write_all(handle, text.data(), text.size());
        return;
    }
    wchar_t wide[2048];
    while (!text.empty()) {
        // Cut between characters: never before a UTF-8 continuation byte.
        std::size_t take = text.size() < 1024 ? text.size() : 1024;
        while (take < text.size() && (static_cast<unsigned char>(text[take]) & 0xC0) == 0x80) {
            --take;
        }
        const int n = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(take), wide,
                                            static_cast<int>(std::size(wide)));
        DWORD written = 0;
        if (n <= 0 || !::WriteConsoleW(handle, wide, static_cast<DWORD>(n), &written, nullptr)) {
            return;
        }
        text.remove_prefix(take);
    }
}

// Reads one line of the console into line (UTF-16, without its line end).
prompt_result read_line(HANDLE input, wchar_t* line, std::size_t capacity)
{
    std::size_t length = 0;
    bool too_long = false;
    bool nul = false;
    for (;;) {
        wchar_t c = 0;
        DWORD got = 0;
        if (!::ReadConsoleW(input, &c, 1, &got, nullptr) || got == 0 || c == L'\n') {
            break;
        }
        if (c == L'\r') {
            continue;
        }
        nul = nul || c == L'\0';
        if (length + 1 < capacity) {
            line[length++] = c;
        } else {
            too_long = true;
        }
    }
    line[length] = L'\0';
    if (too_long) {
        return prompt_result::too_long;
    }
    if (nul) {
        return prompt_result::contains_nul;
    }
    return length == 0 ? prompt_result::empty : prompt_result::entered;
}

// Asks once for a line and gives it in the code page's bytes.
prompt_result ask(HANDLE input, HANDLE output, const wchar_t* prompt, char* password)
{
    DWORD written = 0;
    ::WriteConsoleW(output, prompt, static_cast<DWORD>(wcslen(prompt)), &written, nullptr);
    wchar_t line[password_capacity];
    prompt_result result = read_line(input, line, password_capacity);
    ::WriteConsoleW(output, L"\r\n", 2, &written, nullptr);
    if (result == prompt_result::entered && !to_code_page(line, password, password_capacity)) {
        result = prompt_result::unrepresentable;
    }
    ::SecureZeroMemory(line, sizeof line);
    return result;
}

}  // namespace

void use_error_console()
{
    console_stream = STD_ERROR_HANDLE;
}

void print(std::string_view text)
{
    write_text(::GetStdHandle(console_stream), text);
}

void print_lines(std::string_view text)
{
    // Console programs on Windows end their lines with CR LF.
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        print(text.substr(0, end));
        if (end == std::string_view::npos) {
            return;
        }
        print("\r\n");
        text.remove_prefix(end + 1);
    }
}

void restore_console_input()
{
    if (HANDLE input = prompt_input) {
        ::SetConsoleMode(input, saved_input_mode);
    }
}

prompt_result read_password(char* buffer, bool confirm)
{
    buffer[0] = '\0';
    HANDLE input =
        ::CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE output =
        ::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD mode = 0;
    prompt_result result = prompt_result::no_terminal;
    if (input != INVALID_HANDLE_VALUE && output != INVALID_HANDLE_VALUE &&
        ::GetConsoleMode(input, &mode)) {
        saved_input_mode = mode;
        prompt_input = input;
        if (::SetConsoleMode(input, (mode | ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT) &
                                        ~static_cast<DWORD>(ENABLE_ECHO_INPUT))) {
            result = ask(input, output, L"Password: ", buffer);
            if (result == prompt_result::entered && confirm) {
                char again[password_capacity];
                result = ask(input, output, L"Password again: ", again);
                if (result == prompt_result::empty ||
                    (result == prompt_result::entered && std::strcmp(buffer, again) != 0)) {
                    result = prompt_result::mismatch;
                }
                ::SecureZeroMemory(again, sizeof again);
            }
        }
        restore_console_input();
        prompt_input = nullptr;
    }
    if (input != INVALID_HANDLE_VALUE) {
        ::CloseHandle(input);
    }
    if (output != INVALID_HANDLE_VALUE) {
        ::CloseHandle(output);
    }
    if (result != prompt_result::entered) {
        ::SecureZeroMemory(buffer, password_capacity);
    }
    return result;
}

void remember_password_argument(wchar_t* password)
{
    password_argument = password;
}

void scrub_password(char* password)
{
    ::SecureZeroMemory(password, std::strlen(password));
    if (password_argument == nullptr || *password_argument == L'\0') {
        return;
    }
    // The command line as the process received it, which another process
    // can read, holds the password too: overwrite it there as well. The
    // password is the third argument, found by splitting the line as the C
    // run-time library split it, never by searching for its text.
    const std::size_t length = wcslen(password_argument);
    wchar_t* line = ::GetCommandLineW();
    std::size_t begin = 0;
    std::size_t end = 0;
    if (argument_span(line, 3, begin, end)) {
        for (std::size_t i = begin; i < end; ++i) {
            line[i] = L' ';
        }
    }
    ::SecureZeroMemory(password_argument, length * sizeof(wchar_t));
    password_argument = nullptr;
}
