#include "text_win32.h"

#include <windows.h>

#include <climits>
#include <cwchar>

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
    // A lone surrogate fails rather than silently becoming U+FFFD.
    return ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, -1, out, clamp(capacity),
                                 nullptr, nullptr) > 0;
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

bool to_system_path(const char* path, wchar_t* out, std::size_t capacity)
{
    static wchar_t wide[path_capacity];
    static wchar_t full[path_capacity];
    if (!to_wide(path, wide, path_capacity)) {
        return false;
    }
    // A name with the \\?\ prefix reaches the file system as written, with
    // its trailing dots and spaces and its .. parts: that is what the
    // prefix is for.
    if (wcsncmp(wide, L"\\\\?\\", 4) == 0) {
        const std::size_t length = wcslen(wide);
        if (length >= capacity) {
            return false;
        }
        wmemcpy(out, wide, length + 1);
        return true;
    }
    const DWORD length = ::GetFullPathNameW(wide, static_cast<DWORD>(path_capacity), full, nullptr);
    if (length == 0 || length >= path_capacity) {
        return false;
    }
    // \\.\NUL, \\.\pipe\name, or already \\?\: as they are. A UNC path
    // \\server\share takes the \\?\UNC\ form.
    const bool device =
        full[0] == L'\\' && full[1] == L'\\' && (full[2] == L'.' || full[2] == L'?');
    const bool unc = !device && full[0] == L'\\' && full[1] == L'\\';
    const wchar_t* prefix = device ? L"" : unc ? L"\\\\?\\UNC" : L"\\\\?\\";
    const wchar_t* rest = unc ? full + 1 : full;
    const std::size_t prefix_length = wcslen(prefix);
    const std::size_t rest_length = wcslen(rest);
    if (prefix_length + rest_length >= capacity) {
        return false;
    }
    wmemcpy(out, prefix, prefix_length);
    wmemcpy(out + prefix_length, rest, rest_length + 1);
    return true;
}

namespace {

// The length of the character at line[at]: a wide unit, or one or two bytes
// in the code page.
std::size_t character_length(const wchar_t*, std::size_t, UINT)
{
    return 1;
}
std::size_t character_length(const char* line, std::size_t at, UINT code_page)
{
    return ::IsDBCSLeadByteEx(code_page, static_cast<BYTE>(line[at])) && line[at + 1] != '\0' ? 2
                                                                                              : 1;
}

// As the system's msvcrt.dll splits a command line, which mingw programs
// use: its older rule, by which "" inside quotes is a quote character and
// ends the quoted part (the C run-times since 2008 stay inside the quotes).
template <typename Char>
bool split_argument(const Char* line, int index, std::size_t& begin, std::size_t& end,
                    UINT code_page)
{
    std::size_t at = 0;
    // The program's name: up to the closing quote, or to white space, with
    // no escapes.
    if (line[at] == '"') {
        for (++at; line[at] != '\0' && line[at] != '"'; ++at) {
        }
        if (line[at] == '"') {
            ++at;
        }
    } else {
        for (; line[at] != '\0' && line[at] != ' ' && line[at] != '\t'; ++at) {
        }
    }
    for (int argument = 1;; ++argument) {
        while (line[at] == ' ' || line[at] == '\t') {
            ++at;
        }
        if (line[at] == '\0') {
            return false;
        }
        begin = at;
        bool quoted = false;
        while (line[at] != '\0' && (quoted || (line[at] != ' ' && line[at] != '\t'))) {
            std::size_t backslashes = 0;
            while (line[at] == '\\') {
                ++backslashes;
                ++at;
            }
            if (line[at] != '"') {
                if (backslashes == 0) {
                    at += character_length(line, at, code_page);  // an ordinary character
                }
                continue;
            }
            if (backslashes % 2 == 1) {
                ++at;  // \" is a quote character
            } else if (quoted && line[at + 1] == '"') {
                at += 2;  // "" inside quotes is a quote character, and ends them
                quoted = false;
            } else {
                quoted = !quoted;
                ++at;
            }
        }
        end = at;
        if (argument == index) {
            return true;
        }
    }
}

}  // namespace

bool argument_span(const wchar_t* line, int index, std::size_t& begin, std::size_t& end)
{
    return split_argument(line, index, begin, end, CP_ACP);
}

bool argument_span(const char* line, int index, std::size_t& begin, std::size_t& end,
                   UINT code_page)
{
    return split_argument(line, index, begin, end, code_page);
}

bool is_volume_root(const wchar_t* path, std::size_t length)
{
    // \\?\D: and \\.\D: alike: the folder of \\.\D:\new.bin is the root
    // folder, not the volume device.
    if (length < 4 || (wcsncmp(path, L"\\\\?\\", 4) != 0 && wcsncmp(path, L"\\\\.\\", 4) != 0)) {
        return false;
    }
    std::size_t separators = 0;
    for (std::size_t i = 4; i < length; ++i) {
        separators += path[i] == L'\\' ? 1 : 0;
    }
    // D: or Volume{...} alone; UNC\server\share.
    const bool unc = length >= 8 && wcsncmp(path + 4, L"UNC\\", 4) == 0;
    return separators == (unc ? 2u : 0u);
}

namespace {
const char* unrepresentable[2] = {};
}  // namespace

void mark_unrepresentable(const char* argument)
{
    // The source's and the destination's: at most two.
    unrepresentable[unrepresentable[0] == nullptr ? 0 : 1] = argument;
}

bool is_unrepresentable(const char* argument)
{
    return argument != nullptr &&
           (argument == unrepresentable[0] || argument == unrepresentable[1]);
}
