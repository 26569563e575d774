#include "platform.h"

#include <fcntl.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <string_view>

#include "file_io.h"

namespace {

// The terminal whose settings a signal handler must put back; -1 when none.
volatile sig_atomic_t terminal_fd = -1;
termios saved_settings{};

extern "C" void restore_terminal_and_die(int sig)
{
    if (const int fd = terminal_fd; fd >= 0) {
        ::tcsetattr(fd, TCSANOW, &saved_settings);
    }
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

void say(int fd, std::string_view text)
{
    (void)write_all(fd, text.data(), text.size());
}

// Reads one line into line (password_capacity bytes) without its newline.
prompt_result read_line(int fd, char* line)
{
    std::size_t length = 0;
    bool too_long = false;
    for (;;) {
        char c = '\0';
        const ssize_t n = read_some(fd, &c, 1);
        if (n <= 0 || c == '\n') {
            break;
        }
        if (length + 1 < password_capacity) {
            line[length++] = c;
        } else {
            too_long = true;
        }
    }
    line[length] = '\0';
    if (too_long) {
        return prompt_result::too_long;
    }
    return length == 0 ? prompt_result::empty : prompt_result::entered;
}

prompt_result ask(int fd, char* buffer, bool confirm)
{
    say(fd, "Password: ");
    prompt_result result = read_line(fd, buffer);
    say(fd, "\n");
    if (result != prompt_result::entered || !confirm) {
        return result;
    }
    char again[password_capacity];
    say(fd, "Password again: ");
    result = read_line(fd, again);
    say(fd, "\n");
    if (result == prompt_result::entered && std::strcmp(buffer, again) != 0) {
        result = prompt_result::mismatch;
    }
    scrub_password(again);
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
    termios quiet = saved_settings;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL);

    // The handlers go in before the echo goes off, and come out after it is
    // back on.
    ending_actions previous;
    catch_ending_signals(restore_terminal_and_die, previous);
    terminal_fd = terminal.get();
    prompt_result result = prompt_result::no_terminal;
    if (::tcsetattr(terminal.get(), TCSAFLUSH, &quiet) == 0) {
        result = ask(terminal.get(), buffer, confirm);
        ::tcsetattr(terminal.get(), TCSANOW, &saved_settings);
    }
    terminal_fd = -1;
    restore_ending_signals(previous);
    if (result != prompt_result::entered) {
        scrub_password(buffer);
    }
    return result;
}
