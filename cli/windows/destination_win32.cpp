// The destination and interruptions on Windows. Temporary names use digits
// and lower-case letters only (36), as Windows ignores the case of names.
#include <windows.h>

#include <aclapi.h>

#include <cstring>
#include <cwchar>

#include "platform.h"
#include "text_win32.h"

namespace {

// Paths are kept as full UTF-16 paths with the \\?\ prefix. One run writes
// one destination, so its names live here, where the console control
// handler finds them too.
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

// The attributes a user sets and a replacement keeps. Read-only files are
// refused before the run; the others (reparse point, sparse, compressed,
// offline, cloud pinning, ...) describe how a file is stored, and the system
// may refuse to set them.
constexpr DWORD kept_attributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

HANDLE handle_of(void* handle)
{
    return handle != nullptr ? static_cast<HANDLE>(handle) : INVALID_HANDLE_VALUE;
}

BOOL WINAPI on_console_event(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT &&
        event != CTRL_LOGOFF_EVENT && event != CTRL_SHUTDOWN_EVENT) {
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

// A security descriptor that lets the current user alone at the temporary
// file while it is written, as mode 0600 does on POSIX systems.
struct private_security {
    SECURITY_DESCRIPTOR descriptor{};
    alignas(DWORD) unsigned char acl[256]{};
    alignas(DWORD) unsigned char user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE]{};
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
};

bool make_private(private_security& out)
{
    HANDLE token = nullptr;
    DWORD size = 0;
    const bool have_user =
        ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token) &&
        ::GetTokenInformation(token, TokenUser, out.user, sizeof out.user, &size);
    if (token != nullptr) {
        ::CloseHandle(token);
    }
    auto* acl = reinterpret_cast<ACL*>(out.acl);
    return have_user && ::InitializeAcl(acl, sizeof out.acl, ACL_REVISION) &&
           ::AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL,
                                 reinterpret_cast<TOKEN_USER*>(out.user)->User.Sid) &&
           ::InitializeSecurityDescriptor(&out.descriptor, SECURITY_DESCRIPTOR_REVISION) &&
           ::SetSecurityDescriptorDacl(&out.descriptor, TRUE, acl, FALSE);
}

bool create_temporary(destination& out)
{
    const std::size_t length = wcslen(target_path);
    const wchar_t* slash = wcsrchr(target_path, L'\\');
    const std::size_t folder =
        slash == nullptr ? 0 : static_cast<std::size_t>(slash - target_path) + 1;
    private_security security;
    if (folder + 16 >= path_capacity || length == folder || !make_private(security)) {
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
        HANDLE file =
            ::CreateFileW(temporary_path, GENERIC_WRITE | DELETE | WRITE_DAC, FILE_SHARE_DELETE,
                          &security.attributes, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr);
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

// A new file takes the permissions its folder hands down, as any file
// created there would: the private ones go, and inheritance comes back.
bool inherit_folder_security(HANDLE file)
{
    ACL empty{};
    return ::InitializeAcl(&empty, sizeof empty, ACL_REVISION) &&
           ::SetSecurityInfo(file, SE_FILE_OBJECT,
                             DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION,
                             nullptr, nullptr, &empty, nullptr) == ERROR_SUCCESS;
}

enum class replace_result { done, failed, old_file_gone };

bool move_into_place()
{
    return ::MoveFileExW(temporary_path, target_path,
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

// Puts the closed temporary file in place, waiting out a brief hold of the
// destination by another program.
replace_result replace_target(bool replaces)
{
    for (int attempt = 0;; ++attempt) {
        const bool done =
            replaces ? ::ReplaceFileW(target_path, temporary_path, nullptr,
                                      REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != 0
                     : move_into_place();
        const DWORD error = ::GetLastError();
        if (done) {
            return replace_result::done;
        }
        if (replaces && (error == ERROR_UNABLE_TO_MOVE_REPLACEMENT ||
                         error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2)) {
            // Half done: the replaced file may be gone already, so the output
            // is all there is. It is moved into place, and kept whatever
            // happens.
            for (int retry = 0; retry <= busy_retries; ++retry) {
                if (move_into_place()) {
                    return replace_result::done;
                }
                ::Sleep(busy_wait_ms);
            }
            return replace_result::old_file_gone;
        }
        if (attempt == busy_retries ||
            (error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION &&
             error != ERROR_ACCESS_DENIED && error != ERROR_UNABLE_TO_REMOVE_REPLACED)) {
            return replace_result::failed;
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

void install_interrupt_cleanup()
{
    ::SetConsoleCtrlHandler(on_console_event, TRUE);
}

bool is_standard_output(const char* path)
{
    // Decided by name, without opening the destination: opening a named pipe
    // would take its only connection.
    HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    static wchar_t given[path_capacity];
    static wchar_t named[path_capacity];
    static wchar_t shown[path_capacity];
    if (out == INVALID_HANDLE_VALUE || out == nullptr || ::GetFileType(out) != FILE_TYPE_DISK ||
        !to_system_path(path, given, path_capacity) || !real_path_of(out, shown)) {
        return false;
    }
    // An 8.3 name counts by its long name.
    const DWORD n = ::GetLongPathNameW(given, named, static_cast<DWORD>(path_capacity));
    const wchar_t* compared = n > 0 && n < path_capacity ? named : given;
    return ::CompareStringOrdinal(compared, -1, shown, -1, TRUE) == CSTR_EQUAL;
}

// The source plays no part on Windows: a disk file, even the source itself,
// is always replaced through a temporary file, and devices are written as
// they allow.
bool open_destination(const char* path, const source_file& /* source */, destination& out)
{
    static wchar_t wide[path_capacity];
    if (!to_system_path(path, wide, path_capacity)) {
        return false;
    }
    const std::size_t length = wcslen(wide);
    if (length == 0 || wide[length - 1] == L'\\' || wide[length - 1] == L'/') {
        return false;
    }
    // Opened as the user named it, links followed. A device or pipe is
    // written through this very handle.
    HANDLE existing =
        ::CreateFileW(wide, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, 0, nullptr);
    if (existing == INVALID_HANDLE_VALUE) {
        // A read-only file refuses the opening; so does a directory.
        if (::GetLastError() != ERROR_FILE_NOT_FOUND) {
            return false;
        }
        wmemcpy(target_path, wide, length + 1);
        return create_temporary(out);
    }
    if (::GetFileType(existing) != FILE_TYPE_DISK) {
        // Written directly; a device or pipe that is also the source is read
        // and written as the device sees fit.
        out.handle = existing;
        return true;
    }
    // The output goes in under the file's real name, wherever a link leads,
    // never under the spelling the user typed.
    BY_HANDLE_FILE_INFORMATION info{};
    const bool found =
        real_path_of(existing, target_path) && ::GetFileInformationByHandle(existing, &info);
    ::CloseHandle(existing);
    if (!found ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        return false;
    }
    out.replaces = true;
    out.attributes = info.dwFileAttributes & kept_attributes;
    out.links = info.nNumberOfLinks;
    return create_temporary(out);
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

bool write_destination(destination& dest, const void* data, std::size_t size)
{
    if (!write_all(handle_of(dest.handle), data, size)) {
        return false;
    }
    dest.written += size;
    return true;
}

bool commit_destination(destination& dest)
{
    HANDLE file = handle_of(dest.handle);
    bool ok = true;
    if (dest.temporary) {
        // The space set aside beyond a source that shrank is given back, and
        // the file takes the replaced file's attributes, or is simply no
        // longer hidden; a new file takes its folder's permissions.
        FILE_END_OF_FILE_INFO end{};
        end.EndOfFile.QuadPart = static_cast<LONGLONG>(dest.written);
        FILE_BASIC_INFO basic{};
        ok = ::SetFileInformationByHandle(file, FileEndOfFileInfo, &end, sizeof end) &&
             ::GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic);
        basic.FileAttributes = dest.replaces ? dest.attributes : 0;
        if (basic.FileAttributes == 0) {
            basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        }
        ok = ok && ::SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic) &&
             (dest.replaces || inherit_folder_security(file));
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
    const replace_result placed = ok ? replace_target(dest.replaces) : replace_result::failed;
    if (placed != replace_result::failed) {
        // In place, or the only copy left: either way it is never removed.
        output_in_place = true;
        temporary_pending = false;
        dest.temporary = false;
    }
    ::ReleaseSRWLockExclusive(&temporary_lock);
    if (placed != replace_result::done) {
        return false;  // the destructor removes the temporary file
    }
    // The move was written through; ReplaceFileW has no such flag, so the
    // replaced file is flushed once more under its name, which commits the
    // file system's journal up to the replacement.
    return !dest.replaces || flush_target();
}

destination::~destination()
{
    if (handle != nullptr) {
        ::CloseHandle(handle_of(handle));
        handle = nullptr;
    }
    if (temporary) {
        ::AcquireSRWLockExclusive(&temporary_lock);
        ::DeleteFileW(temporary_path);
        temporary_pending = false;
        temporary = false;
        ::ReleaseSRWLockExclusive(&temporary_lock);
    }
}

std::uint64_t other_links(const destination& dest)
{
    return dest.links > 1 ? dest.links - 1 : 0;
}
