// The temporary file's life: created beside the destination, written with
// its write-back to the disk started as it goes, flushed, renamed into place
// and the folder flushed; or removed, on a failure or an interruption.
#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "destination_parts.h"

namespace {

// The temporary file the signal handler must remove, as a name within an
// open folder; pending_folder is -1 when there is none. Both change together
// while the cleanup signals are held back, so the handler never sees one
// without the other.
volatile sig_atomic_t pending_folder = -1;
char pending_name[sizeof destination::temporary];

// Set once the output has been renamed into place: from then on the run has
// done its work, and a cleanup signal (one held back during the rename, say)
// no longer ends it.
volatile sig_atomic_t output_in_place = 0;

// Write-back of the temporary file is started every writeback_step bytes, so
// that the flush before the rename waits only for the last stretch instead of
// the whole file. Measured from 4 to 32 MiB on a 256 MiB file; see the README.
constexpr off_t writeback_step = 8 << 20;

extern "C" void remove_temporary_and_die(int sig)
{
    if (output_in_place) {
        return;
    }
    if (const int folder = pending_folder; folder >= 0) {
        ::unlinkat(folder, pending_name, 0);
    }
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

// Flushes a file written directly. Pipes, terminals, sockets and character
// devices hold nothing to flush.
bool flush_direct(int fd)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return false;
    }
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
        return true;
    }
    // EINVAL: an object that does not support flushing at all.
    return ::fsync(fd) == 0 || errno == EINVAL;
}

// Makes the rename itself durable. A folder that could only be looked up,
// not read, cannot be flushed on its own; its whole file system is, through
// the renamed file.
bool flush_folder(const destination& dest, const unique_fd& file)
{
    if (dest.folder_readable) {
        return ::fsync(dest.folder.get()) == 0;
    }
#ifdef __linux__
    return ::syncfs(file.get()) == 0;
#else
    (void)file;
    ::sync();
    return true;
#endif
}

}  // namespace

bool create_temporary(destination& dest)
{
    static constexpr char letters[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    std::uint64_t state = static_cast<std::uint64_t>(now.tv_nsec) ^
                          (static_cast<std::uint64_t>(now.tv_sec) << 20) ^
                          (static_cast<std::uint64_t>(::getpid()) << 40);
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[sizeof dest.temporary] = ".zodevir-XXXXXX";
        for (char* c = name + 9; *c != '\0'; ++c) {
            state = state * 6364136223846793005u + 1442695040888963407u;
            *c = letters[(state >> 33) % (sizeof letters - 1)];
        }
        const sigset_t saved = hold_ending_signals();
        const int fd = ::openat(dest.folder.get(), name,
                                O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600);
        const int error = errno;
        if (fd >= 0) {
            dest.fd = unique_fd(fd);
            std::memcpy(dest.temporary, name, sizeof name);
            std::memcpy(pending_name, name, sizeof name);
            pending_folder = dest.folder.get();
        }
        release_ending_signals(saved);
        if (fd >= 0) {
            return true;
        }
        if (error != EEXIST) {
            return false;
        }
    }
    return false;
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

void prepare_copy(source_file& source, destination& dest, std::int64_t size)
{
    // No disk space is set aside for the output: with the flush in place a
    // reservation measured no faster, and without one ext4 writes a file
    // renamed over another out before the rename by itself.
    (void)size;
#ifdef POSIX_FADV_SEQUENTIAL
    (void)::posix_fadvise(source.fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    // The file being replaced will not be read again (unless it is the
    // source): its cached pages go now, rather than crowd out the output's
    // while it is written, or be dropped one by one when it is freed.
    if (dest.replaced_open && !same_file(dest.previous, source.st)) {
        (void)::posix_fadvise(dest.replaced.get(), 0, 0, POSIX_FADV_DONTNEED);
    }
#else
    (void)source;
    (void)dest;
#endif
}

bool write_destination(destination& dest, const void* data, std::size_t size)
{
    if (!write_all(dest.fd.get(), data, size)) {
        return false;
    }
    dest.written += static_cast<off_t>(size);
#ifdef SYNC_FILE_RANGE_WRITE
    // Only starts the write-back: a failure shows in the flush at the end.
    if (dest.temporary[0] != '\0' && dest.written - dest.written_back >= writeback_step) {
        (void)::sync_file_range(dest.fd.get(), dest.written_back, dest.written - dest.written_back,
                                SYNC_FILE_RANGE_WRITE);
        dest.written_back = dest.written;
    }
#endif
    return true;
}

bool commit_destination(destination& dest, std::uint64_t /* written */)
{
    if (dest.temporary[0] == '\0') {
        const bool ok = flush_direct(dest.fd.get());
        return close_fd(dest.fd) && ok;
    }
    // The data and the metadata reach the disk before the name does: a crash
    // at any moment leaves either the old file or the whole new one. A
    // failed flush is a failed write (the data may never reach the disk).
    bool ok = carry_metadata(dest) && ::fsync(dest.fd.get()) == 0;
    unique_fd renamed;  // the output, kept open to flush its file system by
    if (ok && !dest.folder_readable) {
        renamed = unique_fd(::fcntl(dest.fd.get(), F_DUPFD_CLOEXEC, 0));
        ok = renamed.valid();
    }
    // Closing reports deferred write errors; only a cleanly closed file is
    // put in place.
    ok = close_fd(dest.fd) && ok;
    if (ok) {
        const sigset_t saved = hold_ending_signals();
        ok = ::renameat(dest.folder.get(), dest.temporary, dest.folder.get(), dest.name) == 0;
        if (ok) {
            output_in_place = 1;
            pending_folder = -1;
            dest.temporary[0] = '\0';
        }
        release_ending_signals(saved);
    }
    if (!ok) {
        discard_destination(dest);
        return false;
    }
    // The new file is in place (the old one is gone), but until the folder
    // is flushed a crash could still undo the rename: that is reported.
    return flush_folder(dest, renamed);
}

void discard_destination(destination& dest)
{
    if (dest.fd.valid()) {
        (void)close_fd(dest.fd);
    }
    if (dest.temporary[0] != '\0') {
        const sigset_t saved = hold_ending_signals();
        ::unlinkat(dest.folder.get(), dest.temporary, 0);
        pending_folder = -1;
        dest.temporary[0] = '\0';
        release_ending_signals(saved);
    }
}
