// The environment on Windows: values arrive as UTF-16 and are converted as
// the command line's arguments are.
#include <windows.h>

#include <cstdlib>
#include <cwchar>
#include <iterator>

#include "password.h"
#include "platform.h"
#include "text_win32.h"

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
    }
    value = out;
    return ok ? variable::set : variable::unrepresentable;
}
