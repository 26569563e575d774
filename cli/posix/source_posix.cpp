// The source: any file that can be read, to its end.
#include <fcntl.h>
#include <unistd.h>

#include "fd_posix.h"
#include "platform.h"

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
