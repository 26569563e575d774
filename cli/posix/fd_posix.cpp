#include "fd_posix.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "features_posix.h"

namespace {

// Closes a descriptor that is let go of, leaving errno as the failure that
// may be on its way out had set it.
void close_quietly(int fd)
{
    if (fd >= 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
    }
}

}  // namespace

unique_fd& unique_fd::operator=(unique_fd&& other) noexcept
{
    if (this != &other) {
        close_quietly(fd_);
        fd_ = other.release();
    }
    return *this;
}

unique_fd::~unique_fd()
{
    close_quietly(fd_);
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

bool flush_to_disk(int fd)
{
#if ZODEVIR_HAVE_F_FULLFSYNC
    if (::fcntl(fd, F_FULLFSYNC) == 0) {
        return true;
    }
    // File systems that cannot force the drive's cache (network ones) say
    // so; they get the flush they have.
    if (errno != ENOTSUP && errno != ENOTTY && errno != EINVAL) {
        return false;
    }
#endif
    return ::fsync(fd) == 0;
}

bool remove_if_same(int folder, const char* name, const struct stat& own)
{
    struct stat st {};
    if (::fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return false;
    }
    if (st.st_dev != own.st_dev || st.st_ino != own.st_ino) {
        errno = EEXIST;
        return false;
    }
    return ::unlinkat(folder, name, 0) == 0;
}
