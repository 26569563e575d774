#include "win32.h"

#include <windows.h>

#include <climits>

namespace {

int clamp(std::size_t capacity)
{
    return capacity > INT_MAX ? INT_MAX : static_cast<int>(capacity);
}

}  // namespace

bool to_wide(const char* text, wchar_t* out, std::size_t capacity)
{
    return ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, out, clamp(capacity)) > 0;
}

bool to_utf8(const wchar_t* text, char* out, std::size_t capacity)
{
    return ::WideCharToMultiByte(CP_UTF8, 0, text, -1, out, clamp(capacity), nullptr, nullptr) > 0;
}

bool to_code_page(const wchar_t* text, char* out, std::size_t capacity)
{
    // A system whose code page is UTF-8 represents everything, and takes no
    // flags for the conversion.
    if (::GetACP() == CP_UTF8) {
        return to_utf8(text, out, capacity);
    }
    BOOL defaulted = FALSE;
    const int n = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text, -1, out,
                                        clamp(capacity), nullptr, &defaulted);
    return n > 0 && !defaulted;
}

bool write_all(void* handle, const void* data, std::size_t size)
{
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        const DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
        DWORD done = 0;
        if (!::WriteFile(handle, p, chunk, &done, nullptr) || done == 0) {
            return false;
        }
        p += done;
        size -= done;
    }
    return true;
}
