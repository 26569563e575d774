// Finding the destination: the kernel looks the name up first, with its own
// protections (fs.protected_symlinks, the loop limit, permissions), and
// opens what the run writes with its own checks (fs.protected_regular and
// fs.protected_fifos); the run then only ever writes what the kernel agreed
// to.
#include "destination_posix.h"
#include "reason_posix.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

constexpr char overlap_reason[] =
    "it holds what is read from the source, which writing it in place "
    "would overwrite";

// A folder or file marked append-only or immutable: a temporary file in it
// could never be renamed or removed, and such a file cannot be replaced.
bool unchangeable([[maybe_unused]] int fd)
{
#ifdef STATX_ATTR_APPEND
    struct statx attributes {};
    return ::statx(fd, "", AT_EMPTY_PATH, 0, &attributes) == 0 &&
           (attributes.stx_attributes & (STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE)) != 0;
#else
    return false;
#endif
}

// The caller's stream is written as the caller opened it (appending, or at
// its current offset), never replaced. It must be the file the kernel found
// under the name.
bool open_descriptor(int fd, const unique_fd& found, const source_file& source, destination& out)
{
    const int flags = ::fcntl(fd, F_GETFL);
    struct stat st {};
    struct stat named {};
    if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY) {
        return refuse_because(EBADF, "that descriptor is not open for writing");
    }
    if (::fstat(fd, &st) != 0 || ::fstat(found.get(), &named) != 0) {
        return false;
    }
    if (!same_file(st, named)) {
        return refuse_because(EAGAIN, "the name led elsewhere while it was opened");
    }
    // Reading a file while writing it through another descriptor would
    // overwrite what is yet to be read, or, appending, never end.
    if (S_ISREG(st.st_mode) && same_file(st, source.st)) {
        return refuse_because(EINVAL,
                              "it is the source file, which would be read as it is written");
    }
    if (overlapping_storage(fd, st, source.fd.get(), source.st)) {
        return refuse_because(EBUSY, overlap_reason);
    }
    out.fd = unique_fd(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    out.direct = true;
    return out.fd.valid();
}

// Takes the folder of where for the output: opened for reading where it may
// be, so that it can be flushed after the rename; a folder the user may only
// search is kept as a lookup handle.
bool take_folder(place& where, destination& out)
{
    out.folder = unique_fd(::openat(where.folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    out.folder_readable = out.folder.valid();
    if (!out.folder_readable) {
        if (errno != EACCES) {
            return false;
        }
        out.folder = std::move(where.folder);
    }
    std::memcpy(out.name, where.name, sizeof out.name);
    return !unchangeable(out.folder.get()) ||
           refuse_because(EPERM, "its folder is marked append-only or immutable");
}

// A rename into a sticky folder replaces only files the caller owns, unless
// it owns the folder or is privileged.
bool may_replace(const struct stat& folder, const struct stat& file)
{
    const uid_t me = ::geteuid();
    return (folder.st_mode & S_ISVTX) == 0 || me == 0 || file.st_uid == me || folder.st_uid == me;
}

// Another user's file in a sticky, world-writable folder (such as /tmp) that
// is not the folder owner's: whoever replaces it does not hand the output to
// that user.
bool planted(const struct stat& folder, const struct stat& file)
{
    return (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & S_IWOTH) != 0 &&
           file.st_uid != ::geteuid() && file.st_uid != folder.st_uid;
}

// What opening an existing file for writing found.
enum class opened { file, refused, elsewhere };

opened went_elsewhere()
{
    refuse_because(EAGAIN, "it was removed or replaced while it was opened");
    return opened::elsewhere;
}

// Opens the existing file at where for writing, as any program writing it
// would: with O_CREAT, so that the kernel applies fs.protected_regular and
// fs.protected_fifos, for root too. Whether the open made a file must come
// from the open itself, never from what the file looks like (another
// process may have put an empty file there a moment ago): an exclusive
// create first, which succeeds only when the file went since its lookup
// and then made this run's own file, removed again; on EEXIST, the open
// that may create. It must reach the file looked up as st; anything else is
// refused and left as it is.
opened open_for_writing(const place& where, const struct stat& st, int flags, unique_fd& fd)
{
    const int base = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC | flags;
    fd = unique_fd(::openat(where.folder.get(), where.name, base | O_EXCL, 0600));
    if (fd.valid()) {
        struct stat made {};
        if (::fstat(fd.get(), &made) == 0) {
            (void)remove_if_same(where.folder.get(), where.name, made);
        }
        fd = unique_fd();
        return went_elsewhere();
    }
    if (errno != EEXIST) {
        return opened::refused;
    }
    fd = unique_fd(::openat(where.folder.get(), where.name, base, 0600));
    if (!fd.valid()) {
        return opened::refused;
    }
    struct stat got {};
    if (::fstat(fd.get(), &got) != 0) {
        fd = unique_fd();
        return opened::refused;
    }
    if (!same_file(got, st)) {
        fd = unique_fd();
        return went_elsewhere();
    }
    return opened::file;
}

// Holds the file being replaced open: its extended attributes are read from
// it when the output is committed, and its blocks are freed only once the
// output and its name are on the disk, so that the run does not wait for
// them. A file being run as a program cannot be opened for writing; it is
// held for reading then, or by its lookup.
bool hold_replaced_file(unique_fd writable, const unique_fd& file, destination& out)
{
    if (!writable.valid()) {
        writable = unique_fd(::openat(out.folder.get(), out.name,
                                      O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        struct stat held {};
        if (writable.valid() &&
            (::fstat(writable.get(), &held) != 0 || !same_file(held, out.previous))) {
            writable = unique_fd();
        }
    }
    out.replaced_open = writable.valid();
    out.replaced = out.replaced_open ? std::move(writable)
                                     : unique_fd(::fcntl(file.get(), F_DUPFD_CLOEXEC, 0));
    return out.replaced.valid();
}

// An existing destination, found at where as file.
bool open_existing(place& where, const found_name& file, const source_file& source,
                   destination& out)
{
    const struct stat& st = file.st;
    if (S_ISDIR(st.st_mode)) {
        return refuse(EISDIR);
    }
    unique_fd writable;
    if (!S_ISREG(st.st_mode)) {
        // A device or FIFO is written directly.
        if (open_for_writing(where, st, 0, writable) != opened::file) {
            return false;
        }
        out.fd = std::move(writable);
        out.direct = true;
        return !overlapping_storage(out.fd.get(), st, source.fd.get(), source.st) ||
               refuse_because(EBUSY, overlap_reason);
    }
    // Opening for writing asks the kernel whether this user may write the
    // file (permissions, ACLs, append-only or immutable marks, sticky
    // folders). A program being run (ETXTBSY) or a file another program
    // holds a lease on (EWOULDBLOCK) passed those checks; it is replaced,
    // not opened.
    const opened found = open_for_writing(where, st, O_NONBLOCK, writable);
    if (found == opened::elsewhere ||
        (found == opened::refused && errno != ETXTBSY && errno != EWOULDBLOCK)) {
        return false;
    }
    struct stat folder {};
    if (!take_folder(where, out) || ::fstat(out.folder.get(), &folder) != 0) {
        return false;
    }
    // Refused as the rename, or the write, would refuse.
    if (!may_replace(folder, st)) {
        return refuse_because(EPERM, "it is another user's file in a sticky folder");
    }
    if (unchangeable(file.fd.get())) {
        return refuse_because(EPERM, "it is marked append-only or immutable");
    }
    out.replaces = true;
    out.previous = st;
    out.fresh_permissions = planted(folder, st);
    return hold_replaced_file(std::move(writable), file.fd, out) &&
           (out.fresh_permissions || attributes_readable(out)) && create_temporary(out);
}

// A new file under where's name: it is put there only if the name is still
// free then, so that nothing that appears under it meanwhile is followed or
// replaced.
bool open_new(place& where, destination& out)
{
    out.new_name = true;
    return take_folder(where, out) && create_temporary(out);
}

}  // namespace

bool is_standard_output(const char* path)
{
    // What the kernel finds under the name, with its protections; a name
    // leading to another process's descriptor is refused later, and its
    // message goes where the console text goes.
    const unique_fd file(::open(path, lookup_flags | O_CLOEXEC));
    struct stat out {};
    struct stat st {};
    return file.valid() && ::fstat(STDOUT_FILENO, &out) == 0 && ::fstat(file.get(), &st) == 0 &&
           same_file(out, st) && named_descriptor(path) != refused_descriptor;
}

namespace {

bool find_and_open(const char* path, const source_file& source, destination& out)
{
    if (const int fd = named_descriptor(path); fd != not_a_descriptor) {
        // What the kernel finds under the name, with its protections.
        const unique_fd file(::open(path, lookup_flags | O_CLOEXEC));
        if (!file.valid() && errno != ENOENT) {
            return false;
        }
        if (fd == refused_descriptor) {
            // Another process's descriptor, or a name that is no descriptor.
            return file.valid() ? refuse_because(EACCES, "it is another process's descriptor")
                                : refuse(ENOENT);
        }
        return file.valid() ? open_descriptor(fd, file, source, out) : refuse(EBADF);
    }
    // The kernel looks the folder up, with its protections, and then the
    // name in it, once, without following it. Nothing there: a new file of
    // that name, in that folder, or none.
    place where;
    found_name found;
    if (!place_of(AT_FDCWD, path, where) || !look_up(where, found)) {
        return false;
    }
    if (!found.exists) {
        return open_new(where, out);
    }
    if (S_ISLNK(found.st.st_mode)) {
        // A link: the kernel follows it first, with its protections and its
        // loop limit, and the walk, reading each link from its own lookup,
        // must end where the kernel did.
        const unique_fd file(::openat(where.folder.get(), where.name, lookup_flags | O_CLOEXEC));
        struct stat st {};
        if (!file.valid() && errno != ENOENT) {
            return false;
        }
        if ((file.valid() && ::fstat(file.get(), &st) != 0) || !walk_to_end(where, found)) {
            return false;
        }
        if (found.exists != file.valid() || (found.exists && !same_file(found.st, st))) {
            return refuse_because(EAGAIN, "its links changed while it was opened");
        }
        if (!found.exists) {
            return open_new(where, out);  // a link to a file not yet there
        }
    }
    return open_existing(where, found, source, out);
}

}  // namespace

outcome open_destination(const char* path, const source_file& source, destination& out)
{
    return find_and_open(path, source, out) ? succeeded() : failed_call();
}

std::uint64_t other_links(const destination& dest)
{
    return dest.replaces && dest.previous.st_nlink > 1 ? dest.previous.st_nlink - 1 : 0;
}
