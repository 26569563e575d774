// Finding the destination on Windows, and writing it.
#include <aclapi.h>

#include <cwchar>

#include "destination_win32.h"
#include "reason_win32.h"

wchar_t destination_path[path_capacity];

namespace {

// The attributes a user sets and a replacement keeps. Read-only files are
// refused before the run; the others (reparse point, sparse, compressed,
// offline, cloud pinning, ...) describe how a file is stored, and the system
// may refuse to set them.
constexpr DWORD kept_attributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// Opens an existing destination for writing, waiting out a brief hold by
// another program as the replace does. Access denied is the file's own
// permissions here, not a hold.
HANDLE open_existing(const wchar_t* path)
{
    HANDLE file = INVALID_HANDLE_VALUE;
    (void)retry_while_held(
        [&] {
            file = ::CreateFileW(path, GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
            return file != INVALID_HANDLE_VALUE;
        },
        [](DWORD error) {
            return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
        });
    // A device such as a serial port opens only for exclusive access.
    const DWORD error = ::GetLastError();
    if (file == INVALID_HANDLE_VALUE && wcsncmp(path, L"\\\\.\\", 4) == 0 &&
        error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
        file = ::CreateFileW(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            ::SetLastError(error);
        }
    }
    return file;
}

// Whether something holds a name that cannot be opened: a link to nothing.
// Wine shows its Unix links to nothing as no file at all, but creating the
// name exclusively meets them; the probe vanishes as it is closed.
bool name_is_taken(const wchar_t* path)
{
    HANDLE probe = ::CreateFileW(path, GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (probe != INVALID_HANDLE_VALUE) {
        ::CloseHandle(probe);
        return false;
    }
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
}

bool is_link(const wchar_t* path)
{
    const DWORD attributes = ::GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Whether two open files are one file.
bool same_file(HANDLE a, HANDLE b)
{
    BY_HANDLE_FILE_INFORMATION x{};
    BY_HANDLE_FILE_INFORMATION y{};
    return ::GetFileInformationByHandle(a, &x) && ::GetFileInformationByHandle(b, &y) &&
           x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
           x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow;
}

// The full path of an open file under its real name: the case it was created
// with, its long name rather than an 8.3 one, and the file a symbolic link
// leads to.
bool real_path_of(HANDLE file, wchar_t* out)
{
    const DWORD n = ::GetFinalPathNameByHandleW(file, out, static_cast<DWORD>(path_capacity),
                                                FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    return n > 0 && n < path_capacity;
}
}  // namespace

bool is_busy(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
           error == ERROR_ACCESS_DENIED || error == ERROR_UNABLE_TO_REMOVE_REPLACED ||
           error == ERROR_UNABLE_TO_MOVE_REPLACEMENT;
}

namespace {

// The standard handle (which, STD_OUTPUT_HANDLE or STD_ERROR_HANDLE) when it
// is a disk file and path names that very file, decided by file identity
// (volume and file index), as the run decides whether two names are one
// file: links, junctions and substituted or mapped drives lead to the same
// file under another name. Null otherwise.
HANDLE standard_file_named(const char* path, DWORD which)
{
    HANDLE standard = ::GetStdHandle(which);
    static wchar_t given[path_capacity];
    if (standard == INVALID_HANDLE_VALUE || standard == nullptr ||
        ::GetFileType(standard) != FILE_TYPE_DISK || is_unrepresentable(path) ||
        !to_system_path(path, given, path_capacity)) {
        return nullptr;
    }
    // A device (\\.\...) is never a standard handle's disk file, and opening
    // one, a named pipe, would take its only connection.
    if (wcsncmp(given, L"\\\\.\\", 4) == 0) {
        return nullptr;
    }
    HANDLE file = ::CreateFileW(given, FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    const bool same = same_file(standard, file);
    ::CloseHandle(file);
    return same ? standard : nullptr;
}

// The standard handle whose file the destination is: standard output's,
// else standard error's (2> out). Null when neither.
HANDLE standard_destination(const char* path)
{
    HANDLE out = standard_file_named(path, STD_OUTPUT_HANDLE);
    return out != nullptr ? out : standard_file_named(path, STD_ERROR_HANDLE);
}

}  // namespace

bool is_standard_output(const char* path)
{
    // Standard error's file as the destination (2> out, > out 2>&1) gets no
    // text either: no console text, warning or progress line.
    if (standard_file_named(path, STD_ERROR_HANDLE) != nullptr) {
        silence_standard_error();
    }
    return standard_file_named(path, STD_OUTPUT_HANDLE) != nullptr;
}

namespace {

// The source counts only when the destination is standard output's file:
// a disk file, even the source itself, is otherwise replaced through a
// temporary file, and devices are written as they allow.
outcome find_and_open(const char* path, const source_file& source, destination& out)
{
    static wchar_t wide[path_capacity];
    if (is_unrepresentable(path)) {
        return failure(ERROR_INVALID_NAME);
    }
    if (!to_system_path(path, wide, path_capacity)) {
        return failed_call();
    }
    const std::size_t length = wcslen(wide);
    if (length == 0 || wide[length - 1] == L'\\' || wide[length - 1] == L'/') {
        return failure(ERROR_INVALID_NAME);
    }
    // The file standard output or standard error is redirected to (> out,
    // 2> out) cannot be replaced: its handle does not let the file be
    // deleted. It is written through that handle, as /dev/stdout is on
    // Linux; unless it is the source too.
    if (HANDLE standard = standard_destination(path); standard != nullptr) {
        HANDLE duplicate = nullptr;
        if (same_file(standard, static_cast<HANDLE>(source.handle))) {
            return failure(ERROR_INVALID_PARAMETER,
                           "it is the source file, which would be read as it is written");
        }
        if (!::DuplicateHandle(::GetCurrentProcess(), standard, ::GetCurrentProcess(), &duplicate,
                               0, FALSE, DUPLICATE_SAME_ACCESS)) {
            return failed_call();
        }
        out.handle = duplicate;
        return success;
    }
    // Opened as the user named it, links followed. A device or pipe is
    // written through this very handle.
    HANDLE existing = open_existing(wide);
    if (existing == INVALID_HANDLE_VALUE) {
        // A read-only file refuses the opening; so does a directory. A link
        // to nothing is refused rather than replaced by a file, which is
        // what moving the output onto its name would do.
        if (::GetLastError() != ERROR_FILE_NOT_FOUND) {
            return failed_call();
        }
        if (is_link(wide) || name_is_taken(wide)) {
            return failure(ERROR_FILE_NOT_FOUND);
        }
        wmemcpy(destination_path, wide, length + 1);
        return create_temporary(out) ? success : failed_call();
    }
    if (::GetFileType(existing) != FILE_TYPE_DISK) {
        // Written directly; a device or pipe that is also the source is read
        // and written as the device sees fit.
        out.handle = existing;
        return success;
    }
    // Replacing the file deletes it and gives the output its permissions: a
    // file the user may write but not delete (nor delete from its folder),
    // or whose permissions cannot be read, is refused now, before the
    // source is read, not at the replace after the whole run. Asked of the
    // very file opened.
    HANDLE deletable = ::ReOpenFile(existing, DELETE | READ_CONTROL,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
    if (deletable == INVALID_HANDLE_VALUE) {
        const outcome refused = failed_call();
        close_quietly(existing);
        return refused;
    }
    PSECURITY_DESCRIPTOR security = nullptr;
    const DWORD readable = ::GetSecurityInfo(deletable, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                             nullptr, nullptr, nullptr, nullptr, &security);
    ::LocalFree(security);
    ::CloseHandle(deletable);
    if (readable != ERROR_SUCCESS) {
        close_quietly(existing);
        return failure(static_cast<int>(readable),
                       "its permissions cannot be read, so they could not be carried over");
    }
    // The output goes in under the file's real name, wherever a link leads,
    // never under the spelling the user typed. Where the system cannot tell
    // the real name (some RAM disks and DefineDosDevice letters), the name
    // as given serves, when it is not a link.
    BY_HANDLE_FILE_INFORMATION info{};
    const bool found =
        (real_path_of(existing, destination_path) ||
         (!is_link(wide) && wmemcpy(destination_path, wide, length + 1) != nullptr)) &&
        ::GetFileInformationByHandle(existing, &info);
    close_quietly(existing);
    if (!found) {
        return failed_call();
    }
    if ((info.dwFileAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        return failure(ERROR_ACCESS_DENIED);
    }
    out.replaces = true;
    out.attributes = info.dwFileAttributes & kept_attributes;
    out.links = info.nNumberOfLinks;
    return create_temporary(out) ? success : failed_call();
}

}  // namespace

outcome open_destination(const char* path, const source_file& source, destination& out)
{
    return find_and_open(path, source, out);
}
void prepare_copy(source_file& source, destination& dest)
{
    // Space set aside for a disk file's length; a source of one block or
    // less is not worth the call.
    if (dest.temporary && source.size > 1024 * 1024) {
        FILE_ALLOCATION_INFO reserve{};
        reserve.AllocationSize.QuadPart = source.size;
        (void)::SetFileInformationByHandle(handle_of(dest.handle), FileAllocationInfo, &reserve,
                                           sizeof reserve);
    }
}

bool output_is_stored(const destination& dest)
{
    return dest.temporary || ::GetFileType(handle_of(dest.handle)) == FILE_TYPE_DISK;
}

outcome write_destination(destination& dest, const void* data, std::size_t size)
{
    if (!write_all(handle_of(dest.handle), data, size)) {
        return failed_call();
    }
    dest.written += size;
    return success;
}
std::uint64_t other_links(const destination& dest)
{
    return dest.links > 1 ? dest.links - 1 : 0;
}
