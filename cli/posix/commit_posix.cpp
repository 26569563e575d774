// Putting the output in place, in the order that keeps a crash at any moment
// from losing both the old file and the new one: the metadata, the data, the
// name, then the name's folder.
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>

#include "destination_posix.h"
#include "features_posix.h"
#include "reason_posix.h"
#include "signals_posix.h"

namespace {

// A file written directly: devices and descriptors on files hold what was
// written in the cache until flushed. Pipes, terminals, sockets and
// character devices hold nothing to flush, and an object that does not
// support flushing at all answers EINVAL.
bool commit_direct(destination& dest)
{
    struct stat st {};
    if (::fstat(dest.fd.get(), &st) != 0 ||
        (keeps_bytes(st) && !flush_to_disk(dest.fd.get()) && errno != EINVAL)) {
        dest.fd = unique_fd();  // closed, keeping the flush's errno
        return false;
    }
    return close_fd(dest.fd);
}

// Step 2. The data and metadata reach the disk before the name does. A
// failed flush is a failed write: the data may never reach the disk.
bool flush_file(const destination& dest)
{
    return flush_to_disk(dest.fd.get());
}

// Says that the file which took the destination's name before the swap was
// put back, but that the temporary name no longer holds the output: what it
// holds now is left as it is, and named.
bool undo_left(const destination& dest)
{
    static char text[160];
    std::snprintf(text, sizeof text,
                  "another file took its name meanwhile; %s, left in its folder, is not this "
                  "run's to remove",
                  dest.temporary);
    return refuse_because(EAGAIN, text);
}

// Swaps the output with the file under the destination's name, and keeps the
// swap only if that was the file the run looked up and means to replace:
// anything moved there meanwhile gets its name back, and the run fails. The
// replaced file, now under the temporary name, is then removed. Each removal
// checks that the name still holds the very file meant (the destructor's
// too): whatever another process moves under a name meanwhile stays. A file
// system that cannot swap names has the output renamed over the name.
bool replace_in_place(const destination& dest)
{
    const int folder = dest.folder.get();
#if ZODEVIR_HAVE_RENAMEAT2
    if (::renameat2(folder, dest.temporary, folder, dest.name, RENAME_EXCHANGE) == 0) {
        struct stat swapped {};
        if (::fstatat(folder, dest.temporary, &swapped, AT_SYMLINK_NOFOLLOW) == 0 &&
            same_file(swapped, dest.previous)) {
            // Should this fail, the old bytes stay under the temporary name,
            // as after a crash at this point.
            (void)remove_if_same(folder, dest.temporary, dest.previous);
            return true;
        }
        struct stat back {};
        if (::renameat2(folder, dest.temporary, folder, dest.name, RENAME_EXCHANGE) != 0 ||
            ::fstatat(folder, dest.temporary, &back, AT_SYMLINK_NOFOLLOW) != 0 ||
            !same_file(back, dest.output)) {
            return undo_left(dest);
        }
        return refuse_because(EAGAIN, "another file took its name meanwhile, and keeps it");
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return false;
    }
#endif
    return ::renameat(folder, dest.temporary, folder, dest.name) == 0;
}

// Whether a failed link says the file system has no hard links at all (FAT
// and exFAT through FUSE), rather than refusing this one.
bool without_links(int error)
{
    return error == EPERM || error == ENOSYS || error == EOPNOTSUPP || error == ENOTSUP;
}

// Where a file system can neither rename without replacing nor make a second
// link: the name is taken first by an empty file of this run's own, created
// exclusively, and the output renamed over it only while the name still holds
// that very file. Between that check and the rename lies the one moment a
// file put under the name would be replaced.
bool rename_over_placeholder(const destination& dest, const char* taken)
{
    const int folder = dest.folder.get();
    const unique_fd placeholder(
        ::openat(folder, dest.name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    struct stat own {};
    if (!placeholder.valid() || ::fstat(placeholder.get(), &own) != 0) {
        return errno == EEXIST ? refuse_because(EEXIST, taken) : false;
    }
    struct stat now {};
    if (::fstatat(folder, dest.name, &now, AT_SYMLINK_NOFOLLOW) != 0 || !same_file(now, own)) {
        return refuse_because(EEXIST, taken);
    }
    if (::renameat(folder, dest.temporary, folder, dest.name) == 0) {
        return true;
    }
    const int error = errno;
    (void)remove_if_same(folder, dest.name, own);
    errno = error;
    return false;
}

// Puts the temporary file under the destination's name: over the file it
// replaces, or, for a name that was free, only if it still is, so that a
// link or a file that appeared under it meanwhile is neither followed nor
// replaced. A file system that cannot rename without replacing gets a second
// name for the file instead, which cannot replace either; one with neither
// (FAT), an empty file of its own under the name first.
bool rename_into_place(const destination& dest)
{
    static constexpr char taken[] = "something took its name meanwhile, and keeps it";
    const int folder = dest.folder.get();
    if (dest.replaces) {
        return replace_in_place(dest);
    }
#if ZODEVIR_HAVE_RENAMEAT2
    if (::renameat2(folder, dest.temporary, folder, dest.name, RENAME_NOREPLACE) == 0) {
        return true;
    }
    const bool cannot_noreplace = errno == EINVAL || errno == ENOSYS;
#else
    const bool cannot_noreplace = true;
#endif
    if (cannot_noreplace) {
        if (::linkat(folder, dest.temporary, folder, dest.name, 0) == 0) {
            // The output is in place either way.
            (void)remove_if_same(folder, dest.temporary, dest.output);
            return true;
        }
        if (without_links(errno)) {
            return rename_over_placeholder(dest, taken);
        }
    }
    return errno == EEXIST && refuse_because(EEXIST, taken);
}

// Step 3. Only a cleanly closed file is put in place: closing reports
// deferred write errors. With the ending signals held back, so that an
// interruption either removes the temporary file or finds the output in
// place, never half of each.
bool close_and_rename(destination& dest)
{
    if (!close_fd(dest.fd)) {
        return false;
    }
    const sigset_t saved = hold_ending_signals();
    const bool renamed = rename_into_place(dest);
    const int error = errno;
    if (renamed) {
        output_is_in_place();
        dest.temporary[0] = '\0';
    }
    release_ending_signals(saved);
    errno = error;
    return renamed;
}

// Step 4. The rename itself reaches the disk. A folder that could only be
// looked up, not read, cannot be flushed on its own; its whole file system
// is, through the renamed file.
bool flush_folder(const destination& dest, const unique_fd& renamed)
{
    if (dest.folder_readable) {
        return flush_to_disk(dest.folder.get());
    }
#if ZODEVIR_HAVE_SYNCFS
    return ::syncfs(renamed.get()) == 0;
#else
    // sync() reports nothing, and may return before the disk has it.
    (void)renamed;
    return refuse_because(ENOTSUP, "its folder cannot be flushed to the disk on this system");
#endif
}

// The steps, in order; false, with errno set, at the first that fails.
bool commit_steps(destination& dest)
{
    if (dest.direct) {
        return commit_direct(dest);
    }
    // Step 1 (metadata_posix.cpp): the replaced file's owner, mode, ACL and
    // attributes, before the flush, so that they reach the disk with the
    // data.
    if (!carry_metadata(dest) || !flush_file(dest)) {
        return false;  // the destructor removes the temporary file
    }
    // The output, kept open to flush its file system by when its folder
    // cannot be flushed itself.
    unique_fd renamed;
    if (!dest.folder_readable) {
        renamed = unique_fd(::fcntl(dest.fd.get(), F_DUPFD_CLOEXEC, 0));
        if (!renamed.valid()) {
            return false;
        }
    }
    if (!close_and_rename(dest)) {
        return false;
    }
    // The new file is in place (the old one is gone), but until the folder
    // is flushed a crash could still undo the rename: that is reported.
    return flush_folder(dest, renamed);
}

}  // namespace

outcome commit_destination(destination& dest)
{
    return commit_steps(dest) ? succeeded() : failed_call();
}
