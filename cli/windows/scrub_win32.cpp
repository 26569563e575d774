// The password argument leaves the process's memory on Windows: every copy of
// the command line that another process, or a crash dump, could read.
#include <windows.h>

#include <corecrt_startup.h>

#include <cstring>
#include <cwchar>
#include <iterator>

#include "command_line.h"
#include "platform.h"
#include "sweep_win32.h"
#include "text_win32.h"

namespace {

// The password argument as the system received it, and the mode argument
// that follows it.
wchar_t* password_argument = nullptr;
const wchar_t* mode_argument = nullptr;

// Where the password argument stands in the process's command line, as
// units: in the UTF-16 line, found by splitting it as the C run-time library
// splits it; and in the ANSI copy the system made of it. That copy is the
// UTF-16 line converted character by character, best-fit characters
// included (a fullwidth quote becomes a quote), so the argument's place in
// it is that of its UTF-16 span converted the same way, never what
// splitting the ANSI line again would find. Worked out once, before any copy
// is blanked.
struct password_span {
    std::size_t begin = 0;
    std::size_t end = 0;
    std::size_t line_length = 0;  // of the whole line the span is in
    bool found = false;
};
struct password_spans {
    password_span wide;
    password_span ansi;
};

std::size_t in_code_page(const wchar_t* text, std::size_t length)
{
    const int n = length == 0 ? 0
                              : ::WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length),
                                                      nullptr, 0, nullptr, nullptr);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

password_spans find_password_spans()
{
    password_spans spans;
    const wchar_t* line = ::GetCommandLineW();
    const char* ansi = ::GetCommandLineA();
    password_span& wide = spans.wide;
    if (line == nullptr || !argument_span(line, argument_at::password, wide.begin, wide.end)) {
        return spans;
    }
    wide.line_length = wcslen(line);
    wide.found = true;
    password_span& narrow = spans.ansi;
    narrow.begin = in_code_page(line, wide.begin);
    narrow.end = narrow.begin + in_code_page(line + wide.begin, wide.end - wide.begin);
    narrow.line_length = ansi != nullptr ? std::strlen(ansi) : 0;
    narrow.found = ansi != nullptr && narrow.end > narrow.begin &&
                   in_code_page(line, wide.line_length) == narrow.line_length;
    return spans;
}

std::size_t length_of(const wchar_t* line)
{
    return wcslen(line);
}
std::size_t length_of(const char* line)
{
    return std::strlen(line);
}

// Overwrites the password argument with spaces in a copy of the whole
// command line (one of its length), so that the line keeps its shape for
// whoever reads it.
template <typename Char>
void blank_password_in(Char* line, const password_span& span)
{
    if (line != nullptr && span.found && length_of(line) == span.line_length) {
        for (std::size_t i = span.begin; i < span.end; ++i) {
            line[i] = ' ';
        }
    }
}

template <typename Char>
void zero_argument(Char** arguments, int count)
{
    constexpr int at = argument_at::password;
    if (arguments != nullptr && is_password_argument(at, count) && arguments[at] != nullptr) {
        scrub_memory(arguments[at], length_of(arguments[at]) * sizeof(Char));
    }
}

// Copies of the command line, and argument blocks, that the system and the
// run-time library made at start-up and let go of: found by their content,
// narrow (password holds the argument in the code page) and wide.
void sweep_command_line(const char* password, const password_spans& spans)
{
    static wchar_t wide_line[32768];
    static char narrow_line[32768 * 2];
    alignas(wchar_t) static unsigned char block[2 * (4096 + 16)];
    const wchar_t* line = ::GetCommandLineW();
    const char* ansi = ::GetCommandLineA();
    if (spans.wide.found && spans.wide.line_length < std::size(wide_line)) {
        wmemcpy(wide_line, line, spans.wide.line_length);
        sweep_copies(wide_line, spans.wide.line_length * sizeof(wchar_t),
                     spans.wide.begin * sizeof(wchar_t), spans.wide.end * sizeof(wchar_t),
                     sizeof(wchar_t));
    }
    if (spans.ansi.found && spans.ansi.line_length < sizeof narrow_line) {
        std::memcpy(narrow_line, ansi, spans.ansi.line_length);
        sweep_copies(narrow_line, spans.ansi.line_length, spans.ansi.begin, spans.ansi.end, 1);
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

void remember_password_argument(wchar_t* password, const wchar_t* mode)
{
    password_argument = password;
    mode_argument = mode;
}

void scrub_memory(void* data, std::size_t size)
{
    ::SecureZeroMemory(data, size);
}

void scrub_password(char* password)
{
    const bool argument = password_argument != nullptr && *password_argument != L'\0';
    const password_spans spans = argument ? find_password_spans() : password_spans{};
    if (argument) {
        sweep_command_line(password, spans);
    }
    scrub_memory(password, std::strlen(password));
    if (!argument) {
        return;
    }
    // The process's own line (wide, and the ANSI one the system made of it),
    // the C run-time library's copies of the whole line (_wcmdln, _acmdln)
    // and its argument blocks (wmain was handed a copy of them), and the
    // argument wmain received.
    blank_password_in(::GetCommandLineW(), spans.wide);
    blank_password_in(::GetCommandLineA(), spans.ansi);
    blank_password_in(_wcmdln, spans.wide);
    blank_password_in(_acmdln, spans.ansi);
    zero_argument(__wargv, __argc);
    zero_argument(__argv, __argc);
    scrub_memory(password_argument, wcslen(password_argument) * sizeof(wchar_t));
    password_argument = nullptr;
}
