// The environment on Windows: values arrive as UTF-16 and are converted as
// the command line's arguments are.
#include <windows.h>

#include <cstdlib>
#include <cwchar>
#include <iterator>

#include "password.h"
#include "platform.h"
#include "sweep_win32.h"
#include "text_win32.h"

// The C run-time library's own copies of the environment: the one wmain was
// handed, the narrow one main would have been, and those getenv reads.
extern "C" {
__declspec(dllimport) extern char** __initenv;
__declspec(dllimport) extern wchar_t** __winitenv;
}

namespace {

// Zeroes the value of the variable name (ASCII) in a block of NAME=VALUE
// entries.
template <typename Char>
void wipe_in(Char** block, const char* name)
{
    for (; block != nullptr && *block != nullptr; ++block) {
        Char* entry = *block;
        std::size_t i = 0;
        while (name[i] != '\0' && entry[i] != 0 &&
               (entry[i] == name[i] || (entry[i] ^ 0x20) == name[i])) {
            ++i;
        }
        if (name[i] == '\0' && entry[i] == '=') {
            for (Char* at = entry + i + 1; *at != 0; ++at) {
                *static_cast<volatile Char*>(at) = 0;
            }
        }
    }
}

}  // namespace

variable environment_value(const char* name, bool password, char*& value)
{
    static char converted[2][32768 * 3];
    wchar_t wide_name[64];
    if (!to_wide(name, wide_name, std::size(wide_name))) {
        return variable::unset;
    }
    wchar_t* wide = ::_wgetenv(wide_name);
    if (wide == nullptr) {
        return variable::unset;
    }
    char* out = converted[password ? 1 : 0];
    const bool ok = password ? to_code_page(wide, out, sizeof converted[1])
                             : to_utf8(wide, out, sizeof converted[0]);
    if (password) {
        // The run keeps its own copy, wiped with the argument's; the
        // environment's copies go now.
        ::SecureZeroMemory(wide, wcslen(wide) * sizeof(wchar_t));
        ::SetEnvironmentVariableW(wide_name, nullptr);
        wipe_in(__winitenv, name);
        wipe_in(__initenv, name);
        wipe_in(_wenviron, name);
        wipe_in(_environ, name);
        sweep_variable(name);
    }
    value = out;
    return ok ? variable::set : variable::unrepresentable;
}
