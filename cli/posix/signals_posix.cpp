#include "signals_posix.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "platform.h"

namespace {

// The temporary file the signal handler must remove, as a name within an
// open folder; pending_folder is -1 when there is none. Both change together
// while the cleanup signals are held back, so the handler never sees one
// without the other.
volatile sig_atomic_t pending_folder = -1;
char pending_name[sizeof destination::temporary];
struct stat pending_file {};

// Set once the output has been renamed into place: from then on the run has
// done its work, and a cleanup signal (one held back during the rename, say)
// no longer ends it.
volatile sig_atomic_t output_in_place = 0;

extern "C" void remove_temporary_and_die(int sig)
{
    if (output_in_place) {
        return;
    }
    if (const int folder = pending_folder; folder >= 0) {
        (void)remove_if_same(folder, pending_name, pending_file);
    }
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

sigset_t ending_signal_set()
{
    sigset_t set;
    sigemptyset(&set);
    for (int sig = 1; sig < NSIG; ++sig) {
        if (is_ending_signal(sig)) {
            sigaddset(&set, sig);
        }
    }
    return set;
}

}  // namespace

bool is_ending_signal(int sig)
{
    switch (sig) {
    case SIGKILL:
    case SIGSTOP:  // cannot be caught
    case SIGCHLD:
    case SIGCONT:
    case SIGURG:
    case SIGWINCH:  // ignored by default
    case SIGTSTP:
    case SIGTTIN:
    case SIGTTOU:  // stop the process
    case SIGPIPE:
    case SIGXFSZ:  // reported as a failed write
        return false;
    default:
        // Between the classic signals and SIGRTMIN lie the C library's own.
        return sig < 32 || (sig >= SIGRTMIN && sig <= SIGRTMAX);
    }
}

sigset_t hold_ending_signals()
{
    const sigset_t set = ending_signal_set();
    sigset_t saved;
    sigprocmask(SIG_BLOCK, &set, &saved);
    return saved;
}

void release_ending_signals(const sigset_t& saved)
{
    sigprocmask(SIG_SETMASK, &saved, nullptr);
}

void catch_ending_signals(void (*handler)(int), ending_actions& previous)
{
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_mask = ending_signal_set();
    // Installed while the signals are held back: an ignored signal gets its
    // SIG_IGN back, and one that arrived meanwhile is then dropped, as it
    // would have been.
    const sigset_t saved = hold_ending_signals();
    for (int sig = 1; sig < NSIG; ++sig) {
        if (is_ending_signal(sig) && ::sigaction(sig, &action, &previous[sig]) == 0 &&
            previous[sig].sa_handler == SIG_IGN) {
            ::sigaction(sig, &previous[sig], nullptr);
        }
    }
    release_ending_signals(saved);
}

void restore_ending_signals(const ending_actions& previous)
{
    for (int sig = 1; sig < NSIG; ++sig) {
        if (is_ending_signal(sig)) {
            ::sigaction(sig, &previous[sig], nullptr);
        }
    }
}

void remember_temporary(int folder, const char* name, const struct stat& own)
{
    std::strncpy(pending_name, name, sizeof pending_name - 1);
    pending_file = own;
    pending_folder = folder;
}

void forget_temporary()
{
    pending_folder = -1;
}

void output_is_in_place()
{
    output_in_place = 1;
    pending_folder = -1;
}

void install_interrupt_cleanup()
{
    // A write to a closed pipe is reported like any failed write instead of
    // ending the run silently; exceeding a file size limit likewise.
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);

    ending_actions previous;
    catch_ending_signals(remove_temporary_and_die, previous);
}
