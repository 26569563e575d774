// Descriptors: an owner that closes one, and reads and writes that loop on
// short counts and EINTR.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>

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

// Flushes what is written to the open file or folder to the disk itself:
// F_FULLFSYNC where the system has it (there fsync reaches only the drive's
// cache), fsync elsewhere or where the file system refuses it. False, with
// errno set, on an error.
bool flush_to_disk(int fd);

// One read, retried on EINTR: bytes read, 0 at end of file, -1 on error.
ssize_t read_some(int fd, void* buffer, std::size_t size);

// Writes all size bytes, looping on short writes and EINTR; false on error.
bool write_all(int fd, const void* data, std::size_t size);

// Removes the name within folder only while it is the file own (device and
// inode, from a descriptor the run holds): never a file that took the name
// meanwhile. Safe in a signal handler. False when the name holds another
// file, or on an error; the name is left then.
bool remove_if_same(int folder, const char* name, const struct stat& own);
