#include "destination.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace {

// The temporary file the signal handler must remove; null when there is none.
const char* volatile pending_temporary = nullptr;

constexpr int cleanup_signals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void remove_temporary_and_die(int sig)
{
    if (const char* path = pending_temporary) {
        ::unlink(path);
    }
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

// The temporary file and pending_temporary change together while the cleanup
// signals are held back, so the handler never sees one without the other.
sigset_t hold_cleanup_signals()
{
    sigset_t set;
    sigset_t saved;
    sigemptyset(&set);
    for (const int sig : cleanup_signals) {
        sigaddset(&set, sig);
    }
    sigprocmask(SIG_BLOCK, &set, &saved);
    return saved;
}

void release_cleanup_signals(const sigset_t& saved)
{
    sigprocmask(SIG_SETMASK, &saved, nullptr);
}

std::string parent_folder(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

// Follows a chain of symbolic links to the name that is not one (it need not
// exist yet), so that a link stays a link and its target gets the output.
std::string resolve_links(std::string path)
{
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            return path;
        }
        char link[PATH_MAX];
        const ssize_t n = ::readlink(path.c_str(), link, sizeof link);
        if (n < 0 || static_cast<std::size_t>(n) >= sizeof link) {
            return path;
        }
        std::string next(link, static_cast<std::size_t>(n));
        if (next.front() != '/') {
            next = parent_folder(path) + "/" + next;
        }
        path = std::move(next);
    }
    return path;  // a loop: opening it fails with ELOOP
}

mode_t current_umask()
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

bool create_temporary(destination& dest)
{
    std::string name = parent_folder(dest.target) + "/.zodevir-XXXXXX";
    const sigset_t saved = hold_cleanup_signals();
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd >= 0) {
        dest.fd = unique_fd(fd);
        dest.temporary = std::move(name);
        pending_temporary = dest.temporary.c_str();
    }
    release_cleanup_signals(saved);
    return fd >= 0;
}

// Without a temporary file the target is written in place, which is only
// acceptable when it is not the file being read.
bool open_directly(destination& dest, const struct stat& source)
{
    const int fd = ::open(dest.target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) {
        return false;
    }
    dest.fd = unique_fd(fd);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return false;
    }
    if (st.st_dev == source.st_dev && st.st_ino == source.st_ino) {
        return false;
    }
    return !S_ISREG(st.st_mode) || ::ftruncate(fd, 0) == 0;
}

}  // namespace

void install_signal_cleanup()
{
    for (const int sig : cleanup_signals) {
        struct sigaction current {};
        // A signal the caller chose to ignore (nohup, a background job)
        // stays ignored.
        if (::sigaction(sig, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) {
            continue;
        }
        struct sigaction action {};
        action.sa_handler = remove_temporary_and_die;
        sigemptyset(&action.sa_mask);
        for (const int other : cleanup_signals) {
            sigaddset(&action.sa_mask, other);
        }
        ::sigaction(sig, &action, nullptr);
    }
}

bool open_destination(const char* path, const struct stat& source, destination& out)
{
    out.target = resolve_links(path);
    struct stat st {};
    const bool exists = ::stat(out.target.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) {
        return false;
    }
    if (exists && !S_ISREG(st.st_mode)) {
        return open_directly(out, source);
    }
    if (out.target.empty() || out.target.back() == '/') {
        return false;
    }
    // Replacing is not a way around a file's permissions: a destination this
    // user may not write is refused, as opening it for writing would be.
    if (exists && ::faccessat(AT_FDCWD, out.target.c_str(), W_OK, AT_EACCESS) != 0) {
        return false;
    }
    if (!create_temporary(out)) {
        return open_directly(out, source);
    }
    out.replaces = exists;
    out.previous = st;
    return true;
}

void reserve_destination(destination& dest, off_t size)
{
    // Only the temporary file is certain to be a new regular file of ours.
    if (!dest.temporary.empty() && size > 0 &&
        ::fallocate(dest.fd.get(), FALLOC_FL_KEEP_SIZE, 0, size) == 0) {
        dest.reserved = size;
    }
}

bool commit_destination(destination& dest, off_t written)
{
    const int fd = dest.fd.get();
    // A source that shrank while it was read leaves reserved space past the
    // end of the output; give it back.
    bool ok = dest.reserved <= written || ::ftruncate(fd, written) == 0;
    if (dest.temporary.empty()) {
        return close_fd(dest.fd) && ok;
    }
    if (dest.replaces) {
        // Owner first: changing it may clear set-id bits that the mode then
        // restores. Only a privileged process may give a file away, so a
        // refused change of owner is not a failure.
        (void)::fchown(fd, dest.previous.st_uid, dest.previous.st_gid);
        ok = ::fchmod(fd, dest.previous.st_mode & 07777) == 0 && ok;
    } else {
        ok = ::fchmod(fd, 0666 & ~current_umask()) == 0 && ok;
    }
    ok = close_fd(dest.fd) && ok;
    if (ok) {
        const sigset_t saved = hold_cleanup_signals();
        ok = ::rename(dest.temporary.c_str(), dest.target.c_str()) == 0;
        if (ok) {
            pending_temporary = nullptr;
            dest.temporary.clear();
        }
        release_cleanup_signals(saved);
    }
    if (!ok) {
        discard_destination(dest);
    }
    return ok;
}

void discard_destination(destination& dest)
{
    if (dest.fd.valid()) {
        (void)close_fd(dest.fd);
    }
    if (!dest.temporary.empty()) {
        const sigset_t saved = hold_cleanup_signals();
        ::unlink(dest.temporary.c_str());
        pending_temporary = nullptr;
        dest.temporary.clear();
        release_cleanup_signals(saved);
    }
}
