// The temporary file's life until its commit: created beside the
// destination, written with its write-back to the disk started as it goes;
// or removed, on a failure or an interruption.
#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "destination_posix.h"
#include "reason_posix.h"
#include "signals_posix.h"
#include "temporary_name.h"

namespace {

// Write-back of the temporary file is started every writeback_step bytes, so
// that the flush before the rename waits only for the last stretch instead of
// the whole file. Measured from 4 to 32 MiB on a 256 MiB file; see the README.
constexpr off_t writeback_step = 8 << 20;

// A source that fits one block of the run is read in one go: read-ahead
// advice would only cost system calls.
constexpr off_t advice_threshold = 1 << 20;

// Says, to a person, why no temporary file could be made.
bool temporary_refused(int error)
{
    static char text[160];
    std::snprintf(text, sizeof text, "no temporary file can be made in its folder: %s",
                  std::strerror(error));
    return refuse_because(error, text);
}

}  // namespace

// Relative to the folder the run holds open (openat), so that moving the
// folder loses nothing.
bool create_temporary(destination& dest)
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    temporary_names names(static_cast<std::uint64_t>(now.tv_nsec) ^
                              (static_cast<std::uint64_t>(now.tv_sec) << 20) ^
                              (static_cast<std::uint64_t>(::getpid()) << 40),
                          true);
    static_assert(temporary_name_size <= sizeof dest.temporary);
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[sizeof dest.temporary]{};
        names.next(name);
        const sigset_t saved = hold_ending_signals();
        const int fd = ::openat(dest.folder.get(), name,
                                O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600);
        int error = errno;
        if (fd >= 0) {
            dest.fd = unique_fd(fd);
            std::memcpy(dest.temporary, name, sizeof name);
            // What the run removes later must be this very file, whatever
            // takes its name meanwhile. Should its identity not be had, the
            // empty file is left rather than removed by its name alone.
            if (::fstat(fd, &dest.output) == 0) {
                remember_temporary(dest.folder.get(), name, dest.output);
            } else {
                error = errno;
                dest.temporary[0] = '\0';
            }
        }
        release_ending_signals(saved);
        if (dest.temporary[0] != '\0') {
            return true;
        }
        if (fd >= 0 || error != EEXIST) {
            return temporary_refused(error);
        }
    }
    return temporary_refused(EEXIST);
}

void prepare_copy(source_file& source, destination& dest)
{
    // No disk space is set aside for the output: with the flush in place a
    // reservation measured no faster, and without one ext4 writes a file
    // renamed over another out before the rename by itself.
    if (!S_ISREG(source.st.st_mode) || source.st.st_size <= advice_threshold) {
        return;
    }
#ifdef POSIX_FADV_SEQUENTIAL
    (void)::posix_fadvise(source.fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    // The file being replaced will not be read again (unless it is the
    // source): its cached pages go now, rather than crowd out the output's
    // while it is written, or be dropped one by one when it is freed.
    if (dest.replaced_open && !same_file(dest.previous, source.st)) {
        (void)::posix_fadvise(dest.replaced.get(), 0, 0, POSIX_FADV_DONTNEED);
    }
#else
    (void)dest;
#endif
}

bool output_is_stored(const destination& dest)
{
    struct stat st {};
    return !dest.direct || (::fstat(dest.fd.get(), &st) == 0 && keeps_bytes(st));
}

outcome write_destination(destination& dest, const void* data, std::size_t size)
{
    if (!write_all(dest.fd.get(), data, size)) {
        return failed_call();
    }
    dest.written += static_cast<off_t>(size);
#ifdef SYNC_FILE_RANGE_WRITE
    // Only starts the write-back: a failure shows in the flush at the end.
    if (!dest.direct && dest.written - dest.written_back >= writeback_step) {
        (void)::sync_file_range(dest.fd.get(), dest.written_back, dest.written - dest.written_back,
                                SYNC_FILE_RANGE_WRITE);
        dest.written_back = dest.written;
    }
#endif
    return success;
}

void discard_destination(destination& dest)
{
    // A failure on its way out keeps its errno.
    const int error = errno;
    if (dest.fd.valid()) {
        (void)close_fd(dest.fd);
    }
    if (dest.temporary[0] != '\0') {
        const sigset_t saved = hold_ending_signals();
        // A file that took the name since is not the run's to remove.
        (void)remove_if_same(dest.folder.get(), dest.temporary, dest.output);
        forget_temporary();
        dest.temporary[0] = '\0';
        release_ending_signals(saved);
    }
    errno = error;
}

destination::~destination()
{
    discard_destination(*this);
}
