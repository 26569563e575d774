// The source, the destination and interruptions on Windows.
#include <windows.h>

#include <cstring>
#include <cwchar>

#include "platform.h"
#include "win32.h"

namespace {

// Paths are kept as full UTF-16 paths. One run writes one destination, so its
// names live here, where the console control handler finds them too.
constexpr std::size_t path_capacity = 32768;
wchar_t target_path[path_capacity];
wchar_t temporary_path[path_capacity];

// Guards the temporary file between the run and the console control handler,
// which runs on a thread of its own: the handler removes the file only while
// the run is not putting it in place, and not at all once it is.
SRWLOCK temporary_lock = SRWLOCK_INIT;
bool temporary_pending = false;
bool output_in_place = false;

// A scanner or an indexer may hold a file for a moment; a replacement that
// meets one is retried for about a second.
constexpr int busy_retries = 20;
constexpr DWORD busy_wait_ms = 50;

HANDLE handle_of(void* handle)
{
    return handle != nullptr ? static_cast<HANDLE>(handle) : INVALID_HANDLE_VALUE;
}

void* kept(HANDLE handle)
{
    return handle != INVALID_HANDLE_VALUE ? handle : nullptr;
}

bool same_file(HANDLE a, HANDLE b)
{
    BY_HANDLE_FILE_INFORMATION x{};
    BY_HANDLE_FILE_INFORMATION y{};
    return ::GetFileInformationByHandle(a, &x) && ::GetFileInformationByHandle(b, &y) &&
           x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
           x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow;
}

BOOL WINAPI on_console_event(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    restore_console_input();
    ::AcquireSRWLockExclusive(&temporary_lock);
    if (output_in_place) {
        // The run has done its work; let it finish.
        ::ReleaseSRWLockExclusive(&temporary_lock);
        return TRUE;
    }
    if (temporary_pending) {
        // Opened with FILE_SHARE_DELETE: the file goes when its handle does.
        ::DeleteFileW(temporary_path);
    }
    // The lock stays held, so that the run cannot put the output in place
    // now; the default handler ends the process as an interrupted console
    // program ends.
    return FALSE;
}

bool create_temporary(destination& out)
{
    const std::size_t length = wcslen(target_path);
    const wchar_t* slash = wcsrchr(target_path, L'\\');
    const std::size_t folder =
        slash == nullptr ? 0 : static_cast<std::size_t>(slash - target_path) + 1;
    if (folder + 16 >= path_capacity || length == folder) {
        return false;
    }
    LARGE_INTEGER now{};
    ::QueryPerformanceCounter(&now);
    unsigned long long state = static_cast<unsigned long long>(now.QuadPart) ^
                               (static_cast<unsigned long long>(::GetCurrentProcessId()) << 32);
    for (int attempt = 0; attempt < 100; ++attempt) {
        wmemcpy(temporary_path, target_path, folder);
        wchar_t* name = temporary_path + folder;
        wmemcpy(name, L".zodevir-", 9);
        for (int i = 0; i < 6; ++i) {
            state = state * 6364136223846793005ull + 1442695040888963407ull;
            name[9 + i] = L"0123456789abcdefghijklmnopqrstuvwxyz"[(state >> 33) % 36];
        }
        name[15] = L'\0';
        ::AcquireSRWLockExclusive(&temporary_lock);
        HANDLE file = ::CreateFileW(temporary_path, GENERIC_WRITE | DELETE, FILE_SHARE_DELETE,
                                    nullptr, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr);
        const DWORD error = ::GetLastError();
        temporary_pending = file != INVALID_HANDLE_VALUE;
        ::ReleaseSRWLockExclusive(&temporary_lock);
        if (file != INVALID_HANDLE_VALUE) {
            out.handle = file;
            out.temporary = true;
            return true;
        }
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            return false;
        }
    }
    return false;
}

// Puts the closed temporary file in place, waiting out a brief hold of the
// destination by another program.
bool replace_target(bool replaces)
{
    for (int attempt = 0;; ++attempt) {
        const bool done =
            replaces ? ::ReplaceFileW(target_path, temporary_path, nullptr,
                                      REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != 0
                     : ::MoveFileExW(temporary_path, target_path,
                                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
        const DWORD error = ::GetLastError();
        if (done) {
            return true;
        }
        if (attempt == busy_retries ||
            (error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION &&
             error != ERROR_ACCESS_DENIED && error != ERROR_UNABLE_TO_REMOVE_REPLACED)) {
            return false;
        }
        ::Sleep(busy_wait_ms);
    }
}

bool flush_target()
{
    HANDLE file = ::CreateFileW(target_path, GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool ok = ::FlushFileBuffers(file) != 0;
    return ::CloseHandle(file) && ok;
}

}  // namespace

void install_interrupt_cleanup()
{
    ::SetConsoleCtrlHandler(on_console_event, TRUE);
}

bool open_source(const char* path, source_file& out)
{
    wchar_t wide[path_capacity];
    if (!to_wide(path, wide, path_capacity)) {
        return false;
    }
    // Others may go on reading, writing or renaming the file; a directory
    // does not open without FILE_FLAG_BACKUP_SEMANTICS.
    HANDLE file =
        ::CreateFileW(wide, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    out.handle = kept(file);
    LARGE_INTEGER size{};
    if (file != INVALID_HANDLE_VALUE && ::GetFileType(file) == FILE_TYPE_DISK &&
        ::GetFileSizeEx(file, &size)) {
        out.size = size.QuadPart;
    }
    return file != INVALID_HANDLE_VALUE;
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

bool is_standard_output(const char* path)
{
    HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    wchar_t wide[path_capacity];
    if (out == INVALID_HANDLE_VALUE || out == nullptr || ::GetFileType(out) != FILE_TYPE_DISK ||
        !to_wide(path, wide, path_capacity)) {
        return false;
    }
    HANDLE file = ::CreateFileW(wide, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool same = same_file(out, file);
    ::CloseHandle(file);
    return same;
}

bool open_destination(const char* path, const source_file& source, destination& out)
{
    wchar_t wide[path_capacity];
    if (!to_wide(path, wide, path_capacity)) {
        return false;
    }
    const std::size_t length = wcslen(wide);
    if (length == 0 || wide[length - 1] == L'\\' || wide[length - 1] == L'/') {
        return false;
    }
    // A read-only file is refused, as opening it for writing would be; so is
    // a directory.
    const DWORD attributes = ::GetFileAttributesW(wide);
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        return false;
    }
    // A device or pipe is written through this very handle.
    HANDLE existing =
        ::CreateFileW(wide, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, 0, nullptr);
    if (existing == INVALID_HANDLE_VALUE) {
        if (::GetLastError() != ERROR_FILE_NOT_FOUND) {
            return false;
        }
    } else if (::GetFileType(existing) != FILE_TYPE_DISK) {
        // Written directly; a device or pipe that is also the source is read
        // and written as the device sees fit.
        out.handle = existing;
        return true;
    } else {
        ::CloseHandle(existing);
    }
    const DWORD full =
        ::GetFullPathNameW(wide, static_cast<DWORD>(path_capacity), target_path, nullptr);
    if (full == 0 || full >= path_capacity) {
        return false;
    }
    out.replaces = existing != INVALID_HANDLE_VALUE;
    out.attributes = attributes;
    (void)source;
    return create_temporary(out);
}

void prepare_copy(source_file& source, destination& dest, std::int64_t size)
{
    (void)source;
    if (dest.temporary) {
        FILE_ALLOCATION_INFO reserve{};
        reserve.AllocationSize.QuadPart = size;
        (void)::SetFileInformationByHandle(handle_of(dest.handle), FileAllocationInfo, &reserve,
                                           sizeof reserve);
    }
}

bool write_destination(destination& dest, const void* data, std::size_t size)
{
    return write_all(handle_of(dest.handle), data, size);
}

bool commit_destination(destination& dest, std::uint64_t written)
{
    HANDLE file = handle_of(dest.handle);
    bool ok = true;
    if (dest.temporary) {
        // The space set aside beyond a source that shrank is given back, and
        // the file takes the replaced file's attributes, or is simply no
        // longer hidden.
        FILE_END_OF_FILE_INFO end{};
        end.EndOfFile.QuadPart = static_cast<LONGLONG>(written);
        FILE_BASIC_INFO basic{};
        ok = ::SetFileInformationByHandle(file, FileEndOfFileInfo, &end, sizeof end) &&
             ::GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic);
        basic.FileAttributes =
            dest.replaces ? dest.attributes
                          : basic.FileAttributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN);
        if (basic.FileAttributes == 0) {
            basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        }
        ok = ok && ::SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic);
    }
    // The output reaches the disk before its name does, and a disk file
    // written directly is on the disk before the run says it is done. A
    // failed flush is a failed write.
    if (dest.temporary || ::GetFileType(file) == FILE_TYPE_DISK) {
        ok = ok && ::FlushFileBuffers(file);
    }
    ok = ::CloseHandle(file) && ok;
    dest.handle = nullptr;
    if (!dest.temporary) {
        return ok;
    }
    ::AcquireSRWLockExclusive(&temporary_lock);
    ok = ok && replace_target(dest.replaces);
    if (ok) {
        output_in_place = true;
        temporary_pending = false;
        dest.temporary = false;
    }
    ::ReleaseSRWLockExclusive(&temporary_lock);
    if (!ok) {
        discard_destination(dest);
        return false;
    }
    // The move was written through; ReplaceFileW has no such flag, so the
    // replaced file is flushed once more under its name, which commits the
    // file system's journal up to the replacement.
    return !dest.replaces || flush_target();
}

void discard_destination(destination& dest)
{
    if (dest.handle != nullptr) {
        ::CloseHandle(handle_of(dest.handle));
        dest.handle = nullptr;
    }
    if (dest.temporary) {
        ::AcquireSRWLockExclusive(&temporary_lock);
        ::DeleteFileW(temporary_path);
        temporary_pending = false;
        dest.temporary = false;
        ::ReleaseSRWLockExclusive(&temporary_lock);
    }
}
