// The entry point on Windows: the arguments arrive as UTF-16 and are handed
// to the run as it takes them everywhere, paths in UTF-8 and the password in
// the bytes of the system's ANSI code page, which is what a narrow-character
// Windows program, and so every file made on Windows, is keyed with.
#include <windows.h>

#include <cstring>
#include <cwchar>
#include <iterator>

#include "command_line.h"
#include "messages.h"
#include "platform.h"
#include "process_win32.h"
#include "run.h"
#include "text_win32.h"

namespace {

// Room for the longest command line Windows passes (32767 UTF-16 units, up
// to three UTF-8 bytes each) and a terminator for every argument.
char argument_text[3 * 32768 + 32768];
char* arguments[32768];

}  // namespace

// The entry point of a -municode program; no header declares it.
int wmain(int argc, wchar_t** argv);

int wmain(int argc, wchar_t** argv)
{
    if (argc < 1 || static_cast<std::size_t>(argc) >= std::size(arguments)) {
        return 1;
    }
    keep_others_out_of_memory();
    // The mode is checked before the password, as everywhere: with a
    // mistyped mode, a password the code page cannot hold is left for the
    // run to refuse by its mode.
    const bool valid_mode =
        argc >= run_argument_count && (std::wcscmp(argv[argument_at::mode], L"encode") == 0 ||
                                       std::wcscmp(argv[argument_at::mode], L"decode") == 0);
    char* next = argument_text;
    const char* const end = argument_text + sizeof argument_text;
    for (int i = 0; i < argc; ++i) {
        const auto room = static_cast<std::size_t>(end - next);
        const bool password = is_password_argument(i, argc);
        bool converted =
            password ? to_code_page(argv[i], next, room) : to_utf8(argv[i], next, room);
        if (!converted && password && !valid_mode && room > 1) {
            next[0] = '?';
            next[1] = '\0';
            converted = true;
        }
        // Text with no UTF-8 form (a lone surrogate) reaches the run as its
        // messages can show it: a name marked so that no file is opened by
        // it, a mode as the unknown mode it is, an argument past the mode to
        // be ignored.
        if (!converted && !password &&
            ::WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, next, static_cast<int>(room), nullptr,
                                  nullptr) > 0) {
            if (is_file_position(i)) {
                mark_unrepresentable(next);
            }
            converted = true;
        }
        if (!converted) {
            if (password) {
                // As every refusal: on a console, where a person reads it,
                // the line is ended.
                print(prompt_error(prompt_result::unrepresentable));
                if (console_is_terminal()) {
                    print("\n");
                }
            }
            return 1;
        }
        arguments[i] = next;
        next += std::strlen(next) + 1;
    }
    arguments[argc] = nullptr;
    if (argc >= run_argument_count) {
        remember_password_argument(argv[argument_at::password], argv[argument_at::mode]);
    }
    return run(parse_command_line(argc, arguments));
}
