// The source on Windows.
#include <windows.h>

#include "platform.h"
#include "text_win32.h"

bool open_source(const char* path, source_file& out)
{
    static wchar_t wide[path_capacity];
    if (!to_system_path(path, wide, path_capacity)) {
        return false;
    }
    // Others may go on reading, writing or renaming the file; a directory
    // does not open without FILE_FLAG_BACKUP_SEMANTICS.
    HANDLE file =
        ::CreateFileW(wide, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    out.handle = file != INVALID_HANDLE_VALUE ? file : nullptr;
    LARGE_INTEGER size{};
    if (file != INVALID_HANDLE_VALUE && ::GetFileType(file) == FILE_TYPE_DISK &&
        ::GetFileSizeEx(file, &size)) {
        out.size = size.QuadPart;
    }
    return file != INVALID_HANDLE_VALUE;
}

bool source_is_terminal(const source_file& source)
{
    DWORD mode = 0;
    return ::GetConsoleMode(handle_of(source.handle), &mode) != 0;
}

std::int64_t source_size(const source_file& source)
{
    return source.size;
}

std::int64_t read_source(source_file& source, void* buffer, std::size_t size)
{
    DWORD got = 0;
    if (::ReadFile(handle_of(source.handle), buffer, static_cast<DWORD>(size), &got, nullptr)) {
        return got;
    }
    // The writer of a pipe has gone: that is the end of the source.
    return ::GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
}

void close_source(source_file& source)
{
    if (source.handle != nullptr) {
        ::CloseHandle(handle_of(source.handle));
        source.handle = nullptr;
    }
}
