// The source: any file that can be read, to its end.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

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
    return success;
}

bool source_is_terminal(const source_file& source)
{
    return ::isatty(source.fd.get()) == 1;
}

std::int64_t source_size(const source_file& source)
{
    return S_ISREG(source.st.st_mode) ? source.st.st_size : -1;
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
