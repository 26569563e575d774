// Putting the output in place on Windows: its final attributes and
// permissions, the flush, the replace or the move, and the flush of its new
// name.
#include <aclapi.h>

#include <cwchar>

#include "destination_win32.h"
#include "messages.h"
#include "reason_win32.h"
#include "security_win32.h"

namespace {

// Where ReplaceFileW moves the replaced file, removed once the output is in
// place: with a name of its own, a replace that fails half way leaves the
// old file where the run can find it.
wchar_t backup_path[path_capacity];

// On standard error, a file the run could not remove and the user should
// know of: the old bytes, or the only copy of the output.
void warn_left_behind(std::string_view what, const wchar_t* path)
{
    static char shown[path_capacity * 3];
    print_error(warning_prefix);
    print_error(what);
    print_error(left_as);
    print_error(to_utf8(path, shown, sizeof shown) ? std::string_view(shown) : unnamed_file_left);
    print_error("\n");
}

// The folder the destination lies in, as a full path. The root folder of a
// drive or a share keeps its backslash: \\?\D: names the volume itself.
bool folder_of_destination(wchar_t* folder)
{
    const wchar_t* slash = wcsrchr(destination_path, L'\\');
    if (slash == nullptr) {
        return false;
    }
    auto length = static_cast<std::size_t>(slash - destination_path);
    if (is_volume_root(destination_path, length)) {
        ++length;
    }
    wmemcpy(folder, destination_path, length);
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
    if (!folder_of_destination(folder) ||
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
    return ::MoveFileExW(temporary_path, destination_path,
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

// Gives the output in place the replaced file's permissions (its DACL, and
// whether it takes what its folder hands down).
bool carry_security(PSECURITY_DESCRIPTOR old_security)
{
    PACL dacl = nullptr;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    return old_security != nullptr &&
           ::GetSecurityDescriptorDacl(old_security, &present, &dacl, &defaulted) &&
           ::GetSecurityDescriptorControl(old_security, &control, &revision) &&
           ::SetNamedSecurityInfoW(
               destination_path, SE_FILE_OBJECT,
               DACL_SECURITY_INFORMATION |
                   ((control & SE_DACL_PROTECTED) != 0 ? PROTECTED_DACL_SECURITY_INFORMATION
                                                       : UNPROTECTED_DACL_SECURITY_INFORMATION),
               nullptr, nullptr, present ? dacl : nullptr, nullptr) == ERROR_SUCCESS;
}

// ReplaceFileW moved the old file to the backup name but could not move the
// output in: the output is moved by other means, given the old file's
// permissions (which the replace would have carried), and the old file is
// removed; should the move fail, the old file goes back.
replace_result finish_half_done_replace(PSECURITY_DESCRIPTOR old_security)
{
    // Whatever stops the move, it is tried again, for about a second.
    if (retry_while_held(move_into_place, [](DWORD) { return true; })) {
        const bool carried = carry_security(old_security);
        if (!::DeleteFileW(backup_path)) {
            warn_left_behind(replaced_file_left, backup_path);
        }
        return carried ? replace_result::done : replace_result::old_file_gone;
    }
    // The old file goes back under its name; the output stays as the
    // temporary file, which the run then removes. Should the old file not go
    // back, both are left, and named.
    if (::MoveFileExW(backup_path, destination_path, MOVEFILE_WRITE_THROUGH)) {
        return replace_result::failed;
    }
    warn_left_behind(replaced_file_left, backup_path);
    warn_left_behind(output_left, temporary_path);
    return replace_result::old_file_gone;
}

// Puts the closed temporary file in place, waiting out a brief hold of the
// destination by another program.
replace_result replace_destination(bool replaces)
{
    PSECURITY_DESCRIPTOR old_security = nullptr;
    if (replaces) {
        (void)::GetNamedSecurityInfoW(destination_path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                      nullptr, nullptr, nullptr, nullptr, &old_security);
        const std::size_t length = wcslen(temporary_path);
        wmemcpy(backup_path, temporary_path, length);
        wmemcpy(backup_path + length, L".old", 5);
    }
    // A replace that moved the old file aside but not the output in is
    // finished by other means (it is not an error a hold gives).
    const bool done = retry_while_held(
        [&] {
            return replaces ? ::ReplaceFileW(destination_path, temporary_path, backup_path,
                                             REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != 0
                            : move_into_place();
        },
        is_busy);
    const DWORD error = ::GetLastError();
    replace_result result = replace_result::failed;
    // With REPLACEFILE_IGNORE_MERGE_ERRORS the replace succeeds even where
    // it could not merge the old file's ACL into the output, which would
    // then keep the temporary file's owner-only permissions without a word:
    // the old permissions are given to the output in place again, and where
    // that fails the run fails, as one that cannot carry an ACL over does on
    // other systems (the new bytes are in place, the old file gone).
    if (done && replaces && !carry_security(old_security)) {
        const DWORD carry_error = ::GetLastError();
        (void)::DeleteFileW(backup_path);
        if (old_security != nullptr) {
            ::LocalFree(old_security);
        }
        ::SetLastError(carry_error != 0 ? carry_error : ERROR_ACCESS_DENIED);
        return replace_result::old_file_gone;
    }
    if (done) {
        if (replaces && !::DeleteFileW(backup_path)) {
            // Held open by another program. Removal at the next start is
            // for administrators only (MoveFileEx), so the user is told
            // where the old bytes are either way.
            (void)::MoveFileExW(backup_path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
            warn_left_behind(replaced_file_left, backup_path);
        }
        result = replace_result::done;
    } else if (replaces && error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
        result = finish_half_done_replace(old_security);
    }
    if (old_security != nullptr) {
        ::LocalFree(old_security);
    }
    ::SetLastError(error);
    return result;
}
// Flushes the output under its new name, which commits the file system's
// journal up to the rename; an indexer or scanner holding the new file for
// a moment is waited out, as at the replace.
bool flush_destination()
{
    HANDLE file = INVALID_HANDLE_VALUE;
    if (!retry_while_held(
            [&] {
                file = ::CreateFileW(destination_path, GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, 0, nullptr);
                return file != INVALID_HANDLE_VALUE;
            },
            is_busy)) {
        return false;
    }
    if (!::FlushFileBuffers(file)) {
        close_quietly(file);
        return false;
    }
    return ::CloseHandle(file) != 0;
}
// Step 1. The space set aside beyond a source that shrank is given back, and
// the file takes the replaced file's attributes, or is simply no longer
// hidden; a new file takes its folder's permissions.
bool finish_temporary(const destination& dest, HANDLE file)
{
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(dest.written);
    FILE_BASIC_INFO basic{};
    if (!::SetFileInformationByHandle(file, FileEndOfFileInfo, &end, sizeof end) ||
        !::GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic)) {
        return false;
    }
    // Changed, as every program that writes a file leaves it: marked for
    // the next backup.
    basic.FileAttributes = (dest.replaces ? dest.attributes : 0) | FILE_ATTRIBUTE_ARCHIVE;
    return ::SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic) &&
           (dest.replaces || give_new_file_security(file));
}

// Step 2. The output reaches the disk before its name does, and a disk file
// written directly is on the disk before the run says it is done. A failed
// flush is a failed write.
bool flush_output(const destination& dest, HANDLE file)
{
    return (!dest.temporary && ::GetFileType(file) != FILE_TYPE_DISK) ||
           ::FlushFileBuffers(file) != 0;
}

// Step 3, for a temporary file, closed: it goes in under the destination's
// name, with the console control handler kept off the temporary file
// meanwhile. ReplaceFileW has no write-through flag, and
// MOVEFILE_WRITE_THROUGH covers only a move done as a copy: the output is
// flushed once more under its name, which commits the journal up to the
// rename.
outcome put_in_place(destination& dest)
{
    hold_temporary();
    const replace_result placed = replace_destination(dest.replaces);
    const outcome why = placed == replace_result::done ? success : failed_call();
    if (placed != replace_result::failed) {
        keep_output(dest);  // in place, or the only copy left
    }
    release_temporary();
    if (!why) {
        return why;  // the destructor removes the temporary file
    }
    const outcome flushed = flush_destination() ? success : failed_call();
    run_is_done();
    return flushed;
}
}  // namespace

outcome commit_destination(destination& dest)
{
    HANDLE file = handle_of(dest.handle);
    dest.handle = nullptr;
    if ((dest.temporary && !finish_temporary(dest, file)) || !flush_output(dest, file)) {
        const outcome why = failed_call();
        close_quietly(file);
        return why;  // the destructor removes the temporary file
    }
    if (!::CloseHandle(file)) {
        return failed_call();
    }
    return dest.temporary ? put_in_place(dest) : success;
}
