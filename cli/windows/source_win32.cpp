// The source on Windows.
#include <windows.h>

#include "platform.h"
#include "reason_win32.h"
#include "text_win32.h"

outcome open_source(const char* path, source_file& out)
{
    static wchar_t wide[path_capacity];
    if (!to_system_path(path, wide, path_capacity)) {
        return failed_call();
    }
    // Others may go on reading, writing or renaming the file; a directory
    // does not open without FILE_FLAG_BACKUP_SEMANTICS.
    HANDLE file =
        ::CreateFileW(wide, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return failed_call();
    }
    out.handle = file;
    LARGE_INTEGER size{};
    if (::GetFileType(file) == FILE_TYPE_DISK && ::GetFileSizeEx(file, &size)) {
        out.size = size.QuadPart;
    }
    return success;
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

bool source_may_read_ahead(const source_file& source)
{
    return source.size >= 0;
}

outcome read_source(source_file& source, void* buffer, std::size_t size, std::size_t& got)
{
    DWORD n = 0;
    if (::ReadFile(handle_of(source.handle), buffer, static_cast<DWORD>(size), &n, nullptr)) {
        got = n;
        return success;
    }
    const outcome failed = failed_call();
    // The writer of a pipe has gone: that is the end of the source.
    if (failed.code == ERROR_BROKEN_PIPE) {
        got = 0;
        return success;
    }
    return failed;
}

void close_source(source_file& source)
{
    if (source.handle != nullptr) {
        close_quietly(handle_of(source.handle));
        source.handle = nullptr;
    }
}

source_file::~source_file()
{
    close_source(*this);
}
