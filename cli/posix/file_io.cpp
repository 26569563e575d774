#include "file_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform.h"

namespace {

int console_fd = STDOUT_FILENO;

}  // namespace

unique_fd& unique_fd::operator=(unique_fd&& other) noexcept
{
    if (this != &other) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = other.release();
    }
    return *this;
}

unique_fd::~unique_fd()
{
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

int unique_fd::release()
{
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

bool close_fd(unique_fd& fd)
{
    // Linux releases the descriptor even when close fails, EINTR included,
    // so it is never retried.
    return ::close(fd.release()) == 0;
}

ssize_t read_some(int fd, void* buffer, std::size_t size)
{
    for (;;) {
        const ssize_t n = ::read(fd, buffer, size);
        if (n >= 0 || errno != EINTR) {
            return n;
        }
    }
}

bool write_all(int fd, const void* data, std::size_t size)
{
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (n == 0) {
            // A write that makes no progress would loop forever.
            errno = EIO;
            return false;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

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

namespace {

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

void use_error_console()
{
    console_fd = STDERR_FILENO;
}

void print(std::string_view text)
{
    (void)write_all(console_fd, text.data(), text.size());
}

void print_lines(std::string_view text)
{
    print(text);
}

bool open_source(const char* path, source_file& out)
{
    out.fd = unique_fd(::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY));
    // A directory opens, but there is nothing in it to read.
    return out.fd.valid() && ::fstat(out.fd.get(), &out.st) == 0 && !S_ISDIR(out.st.st_mode);
}

std::int64_t source_size(const source_file& source)
{
    return S_ISREG(source.st.st_mode) ? source.st.st_size : -1;
}

std::int64_t read_source(source_file& source, void* buffer, std::size_t size)
{
    return read_some(source.fd.get(), buffer, size);
}

void close_source(source_file& source)
{
    (void)close_fd(source.fd);
}
