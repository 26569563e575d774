// The process keeps other programs out of its memory, as the Linux program
// does with PR_SET_DUMPABLE: the key table, and for a moment the password,
// are in it.
#include <windows.h>

#include <aclapi.h>

#include "process_win32.h"

namespace {

// What a program of the same user may still do with this process: wait for
// it, ask how it ended, end it, and read its name; not read, write or
// change its memory, start threads in it, or take its handles.
constexpr DWORD allowed_to_user =
    SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_QUERY_INFORMATION | PROCESS_TERMINATE;

}  // namespace

void keep_others_out_of_memory()
{
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return;
    }
    alignas(DWORD) unsigned char user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE]{};
    DWORD size = 0;
    const bool got = ::GetTokenInformation(token, TokenUser, user, sizeof user, &size);
    ::CloseHandle(token);
    alignas(DWORD) unsigned char system[SECURITY_MAX_SID_SIZE]{};
    DWORD system_size = sizeof system;
    if (!got || !::CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &system_size)) {
        return;
    }
    EXPLICIT_ACCESSW entries[2]{};
    const auto grant = [](EXPLICIT_ACCESSW& entry, DWORD access, void* sid) {
        entry.grfAccessPermissions = access;
        entry.grfAccessMode = SET_ACCESS;
        entry.grfInheritance = NO_INHERITANCE;
        entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
        entry.Trustee.ptstrName = static_cast<LPWSTR>(sid);
    };
    grant(entries[0], allowed_to_user, reinterpret_cast<TOKEN_USER*>(user)->User.Sid);
    grant(entries[1], PROCESS_ALL_ACCESS, system);
    PACL dacl = nullptr;
    if (::SetEntriesInAclW(2, entries, nullptr, &dacl) != ERROR_SUCCESS) {
        return;
    }
    // Best effort, as on Linux: the run goes on without it. The handle the
    // program that started this one holds keeps the access it was given.
    (void)::SetSecurityInfo(::GetCurrentProcess(), SE_KERNEL_OBJECT,
                            DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                            nullptr, nullptr, dacl, nullptr);
    ::LocalFree(dacl);
}
