// The console text on Windows.
#include <windows.h>

#include <iterator>

#include "platform.h"
#include "text_win32.h"

namespace {

DWORD console_stream = STD_OUTPUT_HANDLE;
bool error_silenced = false;

// The handle text for stream goes to; none for a silenced standard error.
HANDLE text_handle(DWORD stream)
{
    return stream == STD_ERROR_HANDLE && error_silenced ? INVALID_HANDLE_VALUE
                                                        : ::GetStdHandle(stream);
}

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

}  // namespace

void use_error_console()
{
    console_stream = STD_ERROR_HANDLE;
}

void silence_standard_error()
{
    error_silenced = true;
}

void print(std::string_view text)
{
    if (HANDLE handle = text_handle(console_stream); handle != INVALID_HANDLE_VALUE) {
        write_text(handle, text);
    }
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

bool console_is_terminal()
{
    DWORD mode = 0;
    return ::GetConsoleMode(text_handle(console_stream), &mode) != 0;
}

std::string_view describe(const outcome& why)
{
    if (why.own != nullptr) {
        return why.own;
    }
    // The system's own text, in UTF-8, without its closing period and line end.
    static char text[512];
    wchar_t wide[256];
    const auto error = static_cast<DWORD>(why.code);
    DWORD n = error == 0 ? 0
                         : ::FormatMessageW(
                               FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                               error, 0, wide, static_cast<DWORD>(std::size(wide)), nullptr);
    while (n > 0 && (wide[n - 1] == L'\r' || wide[n - 1] == L'\n' || wide[n - 1] == L'.' ||
                     wide[n - 1] == L' ')) {
        --n;
    }
    wide[n] = L'\0';
    return n > 0 && to_utf8(wide, text, sizeof text) ? std::string_view(text) : std::string_view();
}

void print_error(std::string_view text)
{
    if (HANDLE handle = text_handle(STD_ERROR_HANDLE); handle != INVALID_HANDLE_VALUE) {
        write_text(handle, text);
    }
}

bool error_is_terminal()
{
    DWORD mode = 0;
    return ::GetConsoleMode(text_handle(STD_ERROR_HANDLE), &mode) != 0;
}

bool console_is_error_terminal()
{
    // Every console handle of a process is on its one console.
    return console_is_terminal() && error_is_terminal();
}

int error_terminal_columns()
{
    CONSOLE_SCREEN_BUFFER_INFO info{};
    return ::GetConsoleScreenBufferInfo(::GetStdHandle(STD_ERROR_HANDLE), &info) != 0
               ? info.srWindow.Right - info.srWindow.Left + 1
               : 0;
}

std::uint64_t monotonic_ms()
{
    return ::GetTickCount64();
}
