#include "platform.h"

#include <fcntl.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <iterator>

#include "file_io.h"

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

void say(int fd, const char* text)
{
    (void)write_all(fd, text, std::strlen(text));
}

// Reads one line into line (password_capacity bytes) without its newline.
prompt_result read_line(int fd, char* line)
{
    std::size_t length = 0;
    bool too_long = false;
    bool nul = false;
    for (;;) {
        char c = '\0';
        const ssize_t n = read_some(fd, &c, 1);
        if (n <= 0 || c == '\n') {
            break;
        }
        nul = nul || c == '\0';
        // A line as long as the terminal's whole line buffer may have been
        // cut by it.
        if (length + 2 < password_capacity) {
            line[length++] = c;
        } else {
            too_long = true;
        }
    }
    line[length] = '\0';
    if (too_long) {
        return prompt_result::too_long;
    }
    if (nul) {
        return prompt_result::contains_nul;
    }
    return length == 0 ? prompt_result::empty : prompt_result::entered;
}

prompt_result ask_once(int fd, const char* prompt, char* line)
{
    shown_prompt = prompt;
    say(fd, prompt);
    const prompt_result result = read_line(fd, line);
    say(fd, "\n");
    return result;
}

prompt_result ask(int fd, char* buffer, bool confirm)
{
    prompt_result result = ask_once(fd, "Password: ", buffer);
    if (result != prompt_result::entered || !confirm) {
        return result;
    }
    char again[password_capacity];
    result = ask_once(fd, "Password again: ", again);
    // The NUL bytes count too: both lines are compared whole.
    if (result == prompt_result::entered && std::strcmp(buffer, again) != 0) {
        result = prompt_result::mismatch;
    }
    explicit_bzero(again, sizeof again);
    return result == prompt_result::empty ? prompt_result::mismatch : result;
}

}  // namespace

void scrub_password(char* password)
{
    // The password argument lives in the memory the kernel shows the command
    // line from (ps, /proc/PID/cmdline), so zeroing it there hides it.
    ::explicit_bzero(password, std::strlen(password));
}

prompt_result read_password(char* buffer, bool confirm)
{
    buffer[0] = '\0';
    const unique_fd terminal(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!terminal.valid() || ::tcgetattr(terminal.get(), &saved_settings) != 0) {
        return prompt_result::no_terminal;
    }
    quiet_settings = saved_settings;
    quiet_settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL);

    // The handlers go in before the echo goes off, and come out after it is
    // back on.
    ending_actions previous;
    catch_ending_signals(restore_terminal_and_die, previous);
    struct sigaction previous_stops[std::size(stop_signals)];
    catch_stop_signals(previous_stops);
    terminal_fd = terminal.get();
    prompt_result result = prompt_result::no_terminal;
    if (::tcsetattr(terminal.get(), TCSAFLUSH, &quiet_settings) == 0) {
        result = ask(terminal.get(), buffer, confirm);
        ::tcsetattr(terminal.get(), TCSANOW, &saved_settings);
    }
    terminal_fd = -1;
    for (std::size_t i = 0; i < std::size(stop_signals); ++i) {
        ::sigaction(stop_signals[i], &previous_stops[i], nullptr);
    }
    restore_ending_signals(previous);
    if (result != prompt_result::entered) {
        explicit_bzero(buffer, password_capacity);
    }
    return result;
}
