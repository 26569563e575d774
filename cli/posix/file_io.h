// Thin, checked wrappers over the POSIX calls a run makes.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <cstddef>

// The signals whose default action ends the process and that can be caught:
// Ctrl-C and its quit key, kill, a hang-up, timers, limits, power and I/O
// notices, the real-time signals, and the faults (SIGSEGV, SIGBUS, SIGABRT,
// ...). A run that has something to undo on its way out (a temporary file, a
// terminal's echo) catches these. SIGPIPE and SIGXFSZ are not among them: a
// run ignores them and reports the failed write instead.
bool is_ending_signal(int sig);

// Holds the ending signals back until release_ending_signals; returns the
// signal mask to restore.
sigset_t hold_ending_signals();
void release_ending_signals(const sigset_t& saved);

// What the ending signals did before catch_ending_signals, by signal number.
using ending_actions = struct sigaction[NSIG];

// Makes handler catch every ending signal, with all of them held back while
// it runs, except those the caller chose to ignore (nohup, a background job),
// which stay ignored. What was there before goes into previous.
void catch_ending_signals(void (*handler)(int), ending_actions& previous);

// Puts back what catch_ending_signals replaced.
void restore_ending_signals(const ending_actions& previous);

// Owns one file descriptor and closes it when it goes out of scope. Code that
// must know whether closing succeeded calls close_fd() itself.
class unique_fd {
public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
    unique_fd& operator=(unique_fd&& other) noexcept;
    ~unique_fd();

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release();

private:
    int fd_ = -1;
};

// Closes the descriptor held by fd; false if close reported an error (a
// deferred write error, for instance). The descriptor is gone either way.
bool close_fd(unique_fd& fd);

// One read, retried on EINTR: bytes read, 0 at end of file, -1 on error.
ssize_t read_some(int fd, void* buffer, std::size_t size);

// Writes all size bytes, looping on short writes and EINTR; false on error.
bool write_all(int fd, const void* data, std::size_t size);
