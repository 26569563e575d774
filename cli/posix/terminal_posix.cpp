// The terminal of the password prompt.
#include <fcntl.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iterator>

#include "destination_posix.h"
#include "fd_posix.h"
#include "features_posix.h"
#include "platform.h"
#include "signals_posix.h"

namespace {

// The terminal whose settings a signal handler must put back; -1 when none.
volatile sig_atomic_t terminal_fd = -1;
termios saved_settings{};
termios quiet_settings{};
// The prompt on the terminal now, shown again after a stop.
const char* volatile shown_prompt = "";

// The signals that stop a job: Ctrl-Z, and reading or setting the terminal
// from the background.
constexpr int stop_signals[] = {SIGTSTP, SIGTTIN, SIGTTOU};
static_assert(std::size(stop_signals) ==
              sizeof terminal::previous_stops / sizeof(struct sigaction));

extern "C" void restore_terminal_and_die(int sig)
{
    if (const int fd = terminal_fd; fd >= 0) {
        ::tcsetattr(fd, TCSANOW, &saved_settings);
    }
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

// A stop gives the terminal back its settings (the shell would turn echo on
// anyway) and stops; on continuing, echo goes off again and the prompt is
// shown again, since the terminal dropped what was typed of the line.
extern "C" void stop_with_terminal_restored(int sig)
{
    const int fd = terminal_fd;
    if (fd >= 0) {
        ::tcsetattr(fd, TCSANOW, &saved_settings);
    }
    struct sigaction action {};
    struct sigaction own {};
    action.sa_handler = SIG_DFL;
    ::sigaction(sig, &action, &own);
    sigset_t just_this;
    sigemptyset(&just_this);
    sigaddset(&just_this, sig);
    ::sigprocmask(SIG_UNBLOCK, &just_this, nullptr);
    ::kill(::getpid(), sig);  // stops here until continued
    ::sigprocmask(SIG_BLOCK, &just_this, nullptr);
    ::sigaction(sig, &own, nullptr);
    if (fd >= 0) {
        ::tcsetattr(fd, TCSAFLUSH, &quiet_settings);
        const char* prompt = shown_prompt;
        (void)write_all(fd, "\n", 1);
        (void)write_all(fd, prompt, std::strlen(prompt));
    }
}

// Catches the stop signals the caller has not chosen to ignore; what was
// there before goes into previous.
void catch_stop_signals(struct sigaction (&previous)[std::size(stop_signals)])
{
    struct sigaction action {};
    action.sa_handler = stop_with_terminal_restored;
    sigemptyset(&action.sa_mask);
    for (const int sig : stop_signals) {
        sigaddset(&action.sa_mask, sig);
    }
    for (std::size_t i = 0; i < std::size(stop_signals); ++i) {
        if (::sigaction(stop_signals[i], &action, &previous[i]) == 0 &&
            previous[i].sa_handler == SIG_IGN) {
            ::sigaction(stop_signals[i], &previous[i], nullptr);
        }
    }
}

// Sets the terminal, again when a signal interrupted it: started in the
// background, the run stops here until brought to the foreground, and the
// call then returns EINTR.
bool set_terminal(int fd, int when, const termios& settings)
{
    int result = 0;
    while ((result = ::tcsetattr(fd, when, &settings)) != 0 && errno == EINTR) {
    }
    return result == 0;
}

void restore_signals(terminal& term)
{
    terminal_fd = -1;
    for (std::size_t i = 0; i < std::size(stop_signals); ++i) {
        ::sigaction(stop_signals[i], &term.previous_stops[i], nullptr);
    }
    restore_ending_signals(term.previous_endings);
}

}  // namespace

bool open_quiet_terminal(terminal& term, const source_file* named)
{
    // A terminal named as the password file is asked on, opened again for
    // writing the prompt through the descriptor that was read, not its name.
    term.fd = unique_fd(::open(named != nullptr ? proc_path_of(named->fd.get()).text : "/dev/tty",
                               O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!term.fd.valid() || ::tcgetattr(term.fd.get(), &saved_settings) != 0) {
        return false;
    }
    quiet_settings = saved_settings;
    quiet_settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL);
    // The handlers go in before the echo goes off, and come out after it is
    // back on.
    catch_ending_signals(restore_terminal_and_die, term.previous_endings);
    catch_stop_signals(term.previous_stops);
    terminal_fd = term.fd.get();
    if (!set_terminal(term.fd.get(), TCSAFLUSH, quiet_settings)) {
        close_terminal(term);
        return false;
    }
    return true;
}

void show_prompt(terminal& term, const char* prompt)
{
    shown_prompt = prompt;
    (void)write_all(term.fd.get(), prompt, std::strlen(prompt));
}

bool read_unit(terminal& term, terminal_unit& unit)
{
    return read_some(term.fd.get(), &unit, 1) == 1;
}

void end_hidden_line(terminal& term)
{
    (void)write_all(term.fd.get(), "\n", 1);
}

void close_terminal(terminal& term)
{
    (void)set_terminal(term.fd.get(), TCSANOW, saved_settings);
    restore_signals(term);
}

bool password_bytes(const terminal_unit* line, char* out, std::size_t capacity)
{
    const std::size_t length = std::strlen(line);
    if (length >= capacity) {
        return false;
    }
    std::memcpy(out, line, length + 1);
    return true;
}
