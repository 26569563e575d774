// The temporary file's life on Windows, and the interruptions that must
// remove it.
#include <cwchar>

#include "close_wait_win32.h"
#include "destination_win32.h"
#include "temporary_name.h"

wchar_t temporary_path[path_capacity];

namespace {

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

// Set by the console control handler as it starts: a read of the console
// that Ctrl+C cut short waits on it for the handler to end the run.
HANDLE interrupted = nullptr;

// Ctrl+C, Ctrl+Break and the console's closing; logoff and shutdown reach
// services only, never a console program.
BOOL WINAPI on_console_event(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    // Windows allows some 5 s from the close event itself, not from when
    // the replace lets go of the lock.
    const ULONGLONG arrived = ::GetTickCount64();
    if (interrupted != nullptr) {
        ::SetEvent(interrupted);
    }
    restore_console_input();
    ::AcquireSRWLockExclusive(&temporary_lock);
    if (output_in_place) {
        // The run has done its work; let it finish. A closing console ends
        // the process when this returns, so the last flush is waited for.
        ::ReleaseSRWLockExclusive(&temporary_lock);
        if (event == CTRL_CLOSE_EVENT && run_done != nullptr) {
            ::WaitForSingleObject(run_done, close_wait_left(arrived, ::GetTickCount64()));
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

}  // namespace

bool create_temporary(destination& out)
{
    const std::size_t length = wcslen(destination_path);
    const wchar_t* slash = wcsrchr(destination_path, L'\\');
    const std::size_t folder =
        slash == nullptr ? 0 : static_cast<std::size_t>(slash - destination_path) + 1;
    private_security security;
    if (folder + temporary_name_size >= path_capacity || length == folder ||
        !make_private(security)) {
        return false;
    }
    LARGE_INTEGER now{};
    ::QueryPerformanceCounter(&now);
    temporary_names names(static_cast<std::uint64_t>(now.QuadPart) ^
                              (static_cast<std::uint64_t>(::GetCurrentProcessId()) << 32),
                          false);
    for (int attempt = 0; attempt < 100; ++attempt) {
        wmemcpy(temporary_path, destination_path, folder);
        names.next(temporary_path + folder);
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
            ::SetLastError(error);
            return false;
        }
    }
    ::SetLastError(ERROR_FILE_EXISTS);
    return false;
}
void install_interrupt_cleanup()
{
    run_done = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    interrupted = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ::SetConsoleCtrlHandler(on_console_event, TRUE);
}
void hold_temporary()
{
    ::AcquireSRWLockExclusive(&temporary_lock);
}

void release_temporary()
{
    ::ReleaseSRWLockExclusive(&temporary_lock);
}

void keep_output(destination& dest)
{
    output_in_place = true;
    temporary_pending = false;
    dest.temporary = false;
}

bool interruption_arrives(DWORD wait_ms)
{
    return interrupted != nullptr && ::WaitForSingleObject(interrupted, wait_ms) == WAIT_OBJECT_0;
}

void run_is_done()
{
    if (run_done != nullptr) {
        ::SetEvent(run_done);
    }
}

destination::~destination()
{
    // A failure on its way out keeps its last error.
    const DWORD error = ::GetLastError();
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
    ::SetLastError(error);
}
