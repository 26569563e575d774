// The destination and interruptions on Windows. Temporary names use digits
// and lower-case letters only (36), as Windows ignores the case of names.
#include <windows.h>

#include <aclapi.h>

#include <cstring>
#include <cwchar>

#include "platform.h"
#include "security_win32.h"
#include "text_win32.h"

namespace {

// Paths are kept as full UTF-16 paths with the \\?\ prefix. One run writes
// one destination, so its names live here, where the console control
// handler finds them too.
wchar_t target_path[path_capacity];
wchar_t temporary_path[path_capacity];
// Where ReplaceFileW moves the replaced file, removed once the output is in
// place: with a name of its own, a replace that fails half way leaves the
// old file where the run can find it.
wchar_t backup_path[path_capacity];

// Guards the temporary file between the run and the console control handler,
// which runs on a thread of its own: the handler removes the file only while
// the run is not putting it in place, and not at all once it is.
SRWLOCK temporary_lock = SRWLOCK_INIT;
bool temporary_pending = false;
bool output_in_place = false;

// Set once the output is in place and flushed under its name: a console
// closed after the output was put in place waits for that (Windows allows a
// close handler some 5 s) before the process is ended.
HANDLE run_done = nullptr;
constexpr DWORD close_wait_ms = 4500;

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

// Ctrl+C, Ctrl+Break and the console's closing; logoff and shutdown reach
// services only, never a console program.
BOOL WINAPI on_console_event(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    restore_console_input();
    ::AcquireSRWLockExclusive(&temporary_lock);
    if (output_in_place) {
        // The run has done its work; let it finish. A closing console ends
        // the process when this returns, so the last flush is waited for.
        ::ReleaseSRWLockExclusive(&temporary_lock);
        if (event == CTRL_CLOSE_EVENT && run_done != nullptr) {
            ::WaitForSingleObject(run_done, close_wait_ms);
        }
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
           ::SetSecurityDescriptorDacl(&out.descriptor, TRUE, acl, FALSE) &&
           // Protected: otherwise the folder's inheritable grants are merged
           // in, and with them, for some, the right to delete or rename it.
           ::SetSecurityDescriptorControl(&out.descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
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

// The folder the destination lies in, as a full path.
bool folder_of_target(wchar_t* folder)
{
    const wchar_t* slash = wcsrchr(target_path, L'\\');
    if (slash == nullptr) {
        return false;
    }
    const auto length = static_cast<std::size_t>(slash - target_path);
    wmemcpy(folder, target_path, length);
    folder[length] = L'\0';
    return true;
}

// A new file gets what CreateFile would have given it there: the folder's
// inheritable permissions where it hands any down to files, the creator's
// default DACL where it does not (an empty DACL would let no one in).
bool give_new_file_security(HANDLE file)
{
    static wchar_t folder[path_capacity];
    PACL folder_dacl = nullptr;
    PSECURITY_DESCRIPTOR folder_security = nullptr;
    if (!folder_of_target(folder) ||
        ::GetNamedSecurityInfoW(folder, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                &folder_dacl, nullptr, &folder_security) != ERROR_SUCCESS) {
        return false;
    }
    const bool inherits = hands_down_to_files(folder_dacl);
    ::LocalFree(folder_security);
    const auto set = [file](PACL dacl) {
        return dacl != nullptr &&
               ::SetSecurityInfo(file, SE_FILE_OBJECT,
                                 DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION,
                                 nullptr, nullptr, dacl, nullptr) == ERROR_SUCCESS;
    };
    if (inherits) {
        ACL empty{};
        return ::InitializeAcl(&empty, sizeof empty, ACL_REVISION) && set(&empty);
    }
    alignas(DWORD) unsigned char default_dacl[4096]{};
    HANDLE token = nullptr;
    DWORD size = 0;
    const bool got =
        ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token) &&
        ::GetTokenInformation(token, TokenDefaultDacl, default_dacl, sizeof default_dacl, &size);
    if (token != nullptr) {
        ::CloseHandle(token);
    }
    return got && set(reinterpret_cast<TOKEN_DEFAULT_DACL*>(default_dacl)->DefaultDacl);
}

enum class replace_result { done, failed, old_file_gone };

bool move_into_place()
{
    return ::MoveFileExW(temporary_path, target_path,
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool is_busy(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
           error == ERROR_ACCESS_DENIED || error == ERROR_UNABLE_TO_REMOVE_REPLACED ||
           error == ERROR_UNABLE_TO_MOVE_REPLACEMENT;
}

// ReplaceFileW moved the old file to the backup name but could not move the
// output in: the output is moved by other means, given the old file's
// permissions (which the replace would have carried), and the old file is
// removed; should the move fail, the old file goes back.
replace_result finish_half_done_replace(PSECURITY_DESCRIPTOR old_security)
{
    for (int retry = 0; retry <= busy_retries; ++retry) {
        if (move_into_place()) {
            PACL dacl = nullptr;
            BOOL present = FALSE;
            BOOL defaulted = FALSE;
            SECURITY_DESCRIPTOR_CONTROL control = 0;
            DWORD revision = 0;
            const bool carried =
                old_security != nullptr &&
                ::GetSecurityDescriptorDacl(old_security, &present, &dacl, &defaulted) &&
                ::GetSecurityDescriptorControl(old_security, &control, &revision) &&
                ::SetNamedSecurityInfoW(
                    target_path, SE_FILE_OBJECT,
                    DACL_SECURITY_INFORMATION | ((control & SE_DACL_PROTECTED) != 0
                                                     ? PROTECTED_DACL_SECURITY_INFORMATION
                                                     : UNPROTECTED_DACL_SECURITY_INFORMATION),
                    nullptr, nullptr, present ? dacl : nullptr, nullptr) == ERROR_SUCCESS;
            if (!::DeleteFileW(backup_path)) {
                print_error("Warning:The replaced file is left as ");
                static char shown[path_capacity * 3];
                print_error(to_utf8(backup_path, shown, sizeof shown) ? shown : "a backup");
                print_error("\n");
            }
            return carried ? replace_result::done : replace_result::old_file_gone;
        }
        ::Sleep(busy_wait_ms);
    }
    // The old file goes back under its name; the output stays as the
    // temporary file, which the run then removes.
    return ::MoveFileExW(backup_path, target_path, MOVEFILE_WRITE_THROUGH)
               ? replace_result::failed
               : replace_result::old_file_gone;
}

// Puts the closed temporary file in place, waiting out a brief hold of the
// destination by another program.
replace_result replace_target(bool replaces)
{
    PSECURITY_DESCRIPTOR old_security = nullptr;
    if (replaces) {
        (void)::GetNamedSecurityInfoW(target_path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                      nullptr, nullptr, nullptr, nullptr, &old_security);
        const std::size_t length = wcslen(temporary_path);
        wmemcpy(backup_path, temporary_path, length);
        wmemcpy(backup_path + length, L".old", 5);
    }
    replace_result result = replace_result::failed;
    for (int attempt = 0;; ++attempt) {
        const bool done =
            replaces ? ::ReplaceFileW(target_path, temporary_path, backup_path,
                                      REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != 0
                     : move_into_place();
        const DWORD error = ::GetLastError();
        if (done) {
            if (replaces && !::DeleteFileW(backup_path)) {
                // Held open by another program: it goes when that closes it.
                (void)::MoveFileExW(backup_path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
            }
            result = replace_result::done;
            break;
        }
        if (replaces && error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
            result = finish_half_done_replace(old_security);
            break;
        }
        if (attempt == busy_retries || !is_busy(error)) {
            break;
        }
        ::Sleep(busy_wait_ms);
    }
    if (old_security != nullptr) {
        ::LocalFree(old_security);
    }
    return result;
}

// Flushes the output under its new name, which commits the file system's
// journal up to the rename; an indexer or scanner holding the new file for
// a moment is waited out, as at the replace.
bool flush_target()
{
    for (int attempt = 0;; ++attempt) {
        HANDLE file = ::CreateFileW(target_path, GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            const bool ok = ::FlushFileBuffers(file) != 0;
            return ::CloseHandle(file) && ok;
        }
        if (attempt == busy_retries || !is_busy(::GetLastError())) {
            return false;
        }
        ::Sleep(busy_wait_ms);
    }
}

// Opens an existing destination for writing, waiting out a brief hold by
// another program as the replace does.
HANDLE open_existing(const wchar_t* path)
{
    for (int attempt = 0;; ++attempt) {
        HANDLE file = ::CreateFileW(path, GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        const DWORD error = ::GetLastError();
        if (file != INVALID_HANDLE_VALUE || attempt == busy_retries ||
            (error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION)) {
            return file;
        }
        ::Sleep(busy_wait_ms);
    }
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

void install_interrupt_cleanup()
{
    run_done = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
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
// The source counts only when the destination is standard output's file:
// a disk file, even the source itself, is otherwise replaced through a
// temporary file, and devices are written as they allow.
bool open_destination(const char* path, const source_file& source, destination& out)
{
    static wchar_t wide[path_capacity];
    if (!to_system_path(path, wide, path_capacity)) {
        return false;
    }
    const std::size_t length = wcslen(wide);
    if (length == 0 || wide[length - 1] == L'\\' || wide[length - 1] == L'/') {
        ::SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    // The file standard output is redirected to (> out) cannot be replaced:
    // its handle does not let the file be deleted. It is written through
    // that handle, as /dev/stdout is on Linux; unless it is the source too.
    if (is_standard_output(path)) {
        HANDLE standard_output = ::GetStdHandle(STD_OUTPUT_HANDLE);
        HANDLE duplicate = nullptr;
        if (same_file(standard_output, static_cast<HANDLE>(source.handle))) {
            ::SetLastError(ERROR_INVALID_PARAMETER);
            return false;
        }
        if (!::DuplicateHandle(::GetCurrentProcess(), standard_output, ::GetCurrentProcess(),
                               &duplicate, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
            return false;
        }
        out.handle = duplicate;
        return true;
    }
    // Opened as the user named it, links followed. A device or pipe is
    // written through this very handle.
    HANDLE existing = open_existing(wide);
    if (existing == INVALID_HANDLE_VALUE) {
        // A read-only file refuses the opening; so does a directory. A link
        // to nothing is refused rather than replaced by a file, which is
        // what moving the output onto its name would do.
        if (::GetLastError() != ERROR_FILE_NOT_FOUND) {
            return false;
        }
        if (is_link(wide) || name_is_taken(wide)) {
            ::SetLastError(ERROR_FILE_NOT_FOUND);
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
    // never under the spelling the user typed. Where the system cannot tell
    // the real name (some RAM disks and DefineDosDevice letters), the name
    // as given serves, when it is not a link.
    BY_HANDLE_FILE_INFORMATION info{};
    const bool found = (real_path_of(existing, target_path) ||
                        (!is_link(wide) && wmemcpy(target_path, wide, length + 1) != nullptr)) &&
                       ::GetFileInformationByHandle(existing, &info);
    ::CloseHandle(existing);
    if (!found) {
        return false;
    }
    if ((info.dwFileAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        ::SetLastError(ERROR_ACCESS_DENIED);
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
             (dest.replaces || give_new_file_security(file));
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
    // ReplaceFileW has no write-through flag, and MOVEFILE_WRITE_THROUGH
    // covers only a move done as a copy: the output is flushed once more
    // under its name, which commits the journal up to the rename.
    const bool flushed = flush_target();
    if (run_done != nullptr) {
        ::SetEvent(run_done);
    }
    return flushed;
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
