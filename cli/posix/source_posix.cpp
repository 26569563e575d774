// The source: any file that can be read, to its end.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "destination_posix.h"
#include "fd_posix.h"
#include "platform.h"
#include "reason_posix.h"

outcome open_source(const char* path, source_file& out)
{
    out.fd = unique_fd(::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!out.fd.valid() || ::fstat(out.fd.get(), &out.st) != 0) {
        return failed_call();
    }
    // A directory opens, but there is nothing in it to read.
    if (S_ISDIR(out.st.st_mode)) {
        return failure(EISDIR);
    }
    // The caller's stream on a file (/dev/stdin, /dev/fd/N), which the
    // kernel opens anew at its start, is read from where the caller's stream
    // stands, as a pipe would be: a password line read from the same stream
    // before is not read again as data. It must be the file the kernel
    // opened under the name, and readable.
    const int fd = S_ISREG(out.st.st_mode) ? named_descriptor(path) : not_a_descriptor;
    struct stat st {};
    if (const int flags = fd >= 0 ? ::fcntl(fd, F_GETFL) : -1;
        flags >= 0 && (flags & O_ACCMODE) != O_WRONLY && ::fstat(fd, &st) == 0 &&
        same_file(st, out.st)) {
        unique_fd shared(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
        if (!shared.valid()) {
            return failed_call();
        }
        out.fd = std::move(shared);
        out.shared = true;
    }
    return success;
}

bool source_is_terminal(const source_file& source)
{
    return ::isatty(source.fd.get()) == 1;
}

std::int64_t source_size(const source_file& source)
{
    if (!S_ISREG(source.st.st_mode)) {
        return -1;
    }
    const off_t at = source.shared ? ::lseek(source.fd.get(), 0, SEEK_CUR) : 0;
    return at >= 0 && at <= source.st.st_size ? source.st.st_size - at : source.st.st_size;
}

bool source_may_read_ahead(const source_file& source)
{
    return S_ISREG(source.st.st_mode) && !source.shared;
}

outcome read_source(source_file& source, void* buffer, std::size_t size, std::size_t& got)
{
    const ssize_t n = read_some(source.fd.get(), buffer, size);
    if (n < 0) {
        return failed_call();
    }
    got = static_cast<std::size_t>(n);
    return success;
}

void close_source(source_file& source)
{
    (void)close_fd(source.fd);
}
