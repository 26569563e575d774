// Nothing is lost under failures made to happen on purpose (system calls
// failed from a preloaded shim), moved folders, planted links, other users,
// and destinations that are the caller's own streams.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "support.h"

namespace {

// The shim is preloaded through the dynamic loader, which a static binary
// does not have: its rows skip there.
#ifdef ZODEVIR_STATIC_BINARY
constexpr bool shim_loads = false;
#else
constexpr bool shim_loads = true;
#endif
#define SKIP_WITHOUT_SHIM()                                                     \
    if (!shim_loads) {                                                          \
        GTEST_SKIP() << "a static binary cannot have the fault shim preloaded"; \
    }

run_options with_fault(const std::string& call, int error)
{
    run_options options;
    const char* asan = std::getenv("ASAN_OPTIONS");
    options.environment = {
        "LD_PRELOAD=" ZODEVIR_FAULT_SHIM,
        "ZODEVIR_FAULT=" + call,
        "ZODEVIR_FAULT_ERRNO=" + std::to_string(error),
        // The shim comes before the sanitizer's run-time library; that is
        // harmless, as it only forwards.
        std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "") + ":verify_asan_link_order=0",
    };
    return options;
}

// Sets $Z to the binary and $SHIM to the fault shim, for command lines.
void export_tools()
{
    setenv("Z", ZODEVIR_BINARY, 1);
    setenv("SHIM", ZODEVIR_FAULT_SHIM, 1);
}

// Runs a bash command line in folder with $Z and $SHIM set; returns its exit
// status.
int shell(const std::string& folder, const std::string& command)
{
    export_tools();
    const int status =
        std::system(("cd '" + folder + "' && exec bash -c '" + command + "'").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Hostile, InjectedFailuresLoseNothing)
{
    SKIP_WITHOUT_SHIM()
    const struct {
        std::string call;
        int error;
        std::string message;           // empty: the run succeeds
        bool output_in_place = false;  // the failure came after the rename
        std::string target = "out";    // "new": a destination not there before
    } cases[] = {
        {"lookup", EIO, "Error:Cannot open the destiny file:"},
        {"lookup", EACCES, "Error:Cannot open the destiny file:"},
        {"create", ENOSPC, "Error:Cannot open the destiny file:"},
        {"create", EACCES, "Error:Cannot open the destiny file:"},
        {"create", ENAMETOOLONG, "Error:Cannot open the destiny file:"},
        {"read", EIO, "Error:Cannot read the source file:"},
        {"write", ENOSPC, "Error:Cannot write the destiny file:"},
        {"fchown", EIO, "Error:Cannot write the destiny file:"},
        {"fchown", EDQUOT, "Error:Cannot write the destiny file:"},
        {"fchmod", EIO, "Error:Cannot write the destiny file:"},
        {"close", EIO, "Error:Cannot write the destiny file:"},
        {"rename", EXDEV, "Error:Cannot write the destiny file:"},
        {"fsync", EIO, "Error:Cannot write the destiny file:"},
        {"fsync_folder", EIO, "Error:Cannot write the destiny file:", true},
        // A file system that keeps no modes, or refuses to change them: the
        // output keeps the temporary file's owner-only ones.
        {"fchmod", ENOSYS, ""},
        {"fchmod", EPERM, ""},
        {"fchmod", EIO, "Error:Cannot write the destiny file:", false, "new"},
        // Only giving the file away fails: the group alone is kept, but
        // only when the owner may not be given.
        {"fchown_owner", EPERM, ""},
        {"fchown_owner", EDQUOT, "Error:Cannot write the destiny file:"},
        // A file system without attributes (NFSv3), one that may not be
        // set, and real failures. out has a user.* attribute.
        {"flistxattr", ENOTSUP, ""},
        {"flistxattr", EIO, "Error:Cannot open the destiny file:"},
        {"fsetxattr", EPERM, ""},
        {"fsetxattr", EIO, "Error:Cannot write the destiny file:"},
        // A new name is put in place without replacing, by a second link
        // where the file system cannot rename so.
        {"rename", EXDEV, "Error:Cannot write the destiny file:", false, "new"},
        {"noreplace", 0, "", false, "new"},
        {"fat", 0, "", false, "new"},
        // Not failures: a taken temporary name is retried with another, an
        // interrupted or short write is carried on, reads cut at odd sizes
        // keep every byte's position.
        {"create_exists", EEXIST, ""},
        {"eintr_write", 0, ""},
        {"short_write", 0, ""},
        {"odd_reads", 0, ""},
        // Ended by a signal the moment the temporary file exists: it goes.
        {"create_signal", 0, "signal"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.call + " failing with " + std::strerror(c.error) + ", destination " +
                     c.target);
        const scratch_folder dir;
        write_file(dir / "in", sample_bytes(3 << 20));
        write_file(dir / "out", old_bytes);
        setxattr((dir / "out").c_str(), "user.note", "kept", 4, 0);
        const run_result r = run_zodevir({dir / "in", dir / c.target, "tarns", "encode"},
                                         with_fault(c.call, c.error));
        const std::string subject = c.call == "read" ? dir / "in" : dir / c.target;
        if (c.message == "signal") {
            EXPECT_EQ(r.signal, SIGTERM);
            EXPECT_EQ(read_file(dir / "out"), old_bytes);
            EXPECT_EQ(folder_entries(dir.path), (strings{"in", "out"}));
            continue;
        }
        if (c.message.empty()) {
            EXPECT_EQ(r.exit_code, 0) << c.call << c.error;
            EXPECT_EQ(r.out, "encoding...\n");
            EXPECT_EQ(read_file(dir / c.target),
                      expected_output(sample_bytes(3 << 20), "tarns", cipher_mode::encode))
                << c.call;
            EXPECT_EQ(folder_entries(dir.path).size(), c.target == "out" ? 2u : 3u);
            continue;
        }
        EXPECT_EQ(r.exit_code, 1) << c.call;
        EXPECT_EQ(r.out, "encoding..." + c.message + subject) << c.call;
        if (c.output_in_place) {
            EXPECT_NE(read_file(dir / "out"), old_bytes) << c.call;
        } else {
            EXPECT_EQ(read_file(dir / "out"), old_bytes) << c.call;
        }
        EXPECT_EQ(folder_entries(dir.path), (strings{"in", "out"})) << c.call;
    }
}

TEST(Hostile, TemporaryFileIsNeverMoreOpenThanTheFinalOne)
{
    SKIP_WITHOUT_SHIM()
    // Each state the temporary file passes through, as the shim saw it: no
    // moment without the ACL may give the group or others more than the
    // final file gives them, and the flush comes after the last change.
    const struct {
        std::string setup;   // applied to out before the run
        mode_t open_to_all;  // group and other bits the final file grants by its mode alone
    } cases[] = {
        {"chmod 660 out && setfacl -m g::-,u:65534:rw out", 0},
        {"chmod 640 out", 040},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.setup);
        const scratch_folder dir;
        write_file(dir / "in", plain);
        write_file(dir / "out", old_bytes);
        if (const std::string why = failure_of(c.setup, dir.path); !why.empty()) {
            GTEST_SKIP() << "cannot set an ACL on " << dir.path << ": " << why;
        }
        run_options options = with_fault("none", 0);
        options.environment.push_back("ZODEVIR_TRACE=" + dir / "trace");
        EXPECT_EQ(run_zodevir({dir / "in", dir / "out", "tarns", "encode"}, options).exit_code, 0);
        std::istringstream trace(read_file(dir / "trace"));
        std::string call;
        unsigned mode = 0;
        int acl = 0;
        while (trace >> call >> std::oct >> mode >> std::dec >> acl) {
            EXPECT_TRUE(acl == 1 || (mode & 077 & ~c.open_to_all) == 0)
                << c.setup << ": " << call << " left " << std::oct << mode;
        }
        EXPECT_EQ(call, "fsync") << c.setup;
        EXPECT_EQ(read_file(dir / "out"), plain_encoded);
    }
}

TEST(Hostile, WhatTheSystemCannotHoldIsLeftBehind)
{
    // Owners and ACL entries a user namespace does not map, and a system
    // without /proc (an ordinary user in a write-and-search-only folder,
    // a new file then her write-only one replaced): each run succeeds.
    // Rows that give files away need root; those that run as another user
    // also need the scratch folder to be reachable by that user (TMPDIR
    // may be private).
    const std::string root = "{ [ $(id -u) = 0 ] || { echo needs root >&2; false; }; }";
    const std::string other_user =
        root +
        " && chmod 755 . && { setpriv --reuid=65534 --regid=65534 --clear-groups test -x \"$PWD\" "
        "-a -x \"$Z\" -a -r \"$SHIM\" || { echo uid 65534 cannot reach the scratch folder >&2; "
        "false; }; }";
    const struct {
        std::string name;
        std::string needs;  // a command that must work here for the row to run
        std::string command;
    } cases[] = {
        {"file of an unmapped owner", root + " && unshare -r true",
         "cp in t && chown 1234:1234 t && chmod 666 t && unshare -r $Z in t tarns encode && cmp "
         "want t"},
        {"ACL entry of an unmapped user", "unshare -r true",
         "cp in t && setfacl -m u:1234:r t && unshare -r $Z in t tarns encode && cmp want t && "
         "[ $(stat -c %a t) = 600 ]"},
        {"default ACL of an unmapped user", "unshare -r true",
         "mkdir d && setfacl -d -m u:1234:rwx d && unshare -r $Z in d/t tarns encode && "
         "cmp want d/t"},
        // A write-and-search-only folder: a new file, then replaced; its
        // file system flushed, since the folder cannot be.
        {"write-and-search-only folder", other_user,
         "chmod 755 . && mkdir -m 333 d && chown 65534 d && for i in 1 2; do setpriv "
         "--reuid=65534 --regid=65534 --clear-groups $Z in d/t tarns encode || exit 1; done && "
         "cmp want d/t"},
        {"write-and-search-only folder, its flush failing", other_user,
         "chmod 755 . && mkdir -m 333 d && chown 65534 d && LD_PRELOAD=$SHIM ZODEVIR_FAULT=syncfs "
         "ASAN_OPTIONS=verify_asan_link_order=0 setpriv --reuid=65534 --regid=65534 "
         "--clear-groups $Z in d/t tarns encode; [ $? = 1 ]"},
        // Root, and the folder's owner, replace another user's file in a
        // sticky folder.
        {"another user's file in a sticky folder, by root", root,
         "mkdir -m 1755 s && chown 1234 s && cp in s/t && chown 5678 s/t && chmod 666 s/t && $Z "
         "in s/t tarns encode && cmp want s/t && [ $(stat -c %u s/t) = 5678 ]"},
        {"another user's file in a sticky folder, by its owner", other_user,
         "chmod 755 . && mkdir -m 1755 s && chown 1234 s && cp in s/t && chown 5678 s/t && chmod "
         "666 s/t && setpriv --reuid=1234 --regid=1234 --clear-groups $Z in s/t tarns encode && "
         "cmp want s/t"},
        // The replaced file's cached pages are dropped, under every name.
        {"cached pages of the replaced file", "fincore --version",
         "head -c 8000000 /dev/zero >f && ln f g && head -c 2000000 /dev/zero >big && sync f && "
         "cat f >/dev/null && $Z big f tarns encode && [ $(fincore -nb -o RES g) = 0 ]"},
        // A FIFO swapped for a file between the lookup and the open.
        {"FIFO swapped for a file", "true",
         "mkfifo p && LD_PRELOAD=$SHIM ZODEVIR_FAULT=swap ASAN_OPTIONS=verify_asan_link_order=0 "
         "$Z in p tarns encode; [ $? = 1 ] && [ $(cat p) = swapped ]"},
        // No extended attributes at all (ramfs).
        {"no extended attributes (ramfs)", "unshare -m true",
         "mkdir r && unshare -m sh -c \"mount -t ramfs r r && $Z in r/t tarns encode && $Z in r/t "
         "tarns encode && cmp want r/t\""},
        // A new file under a default ACL gets what cat > would give it.
        {"new file under a default ACL", "setfacl --version",
         "mkdir d && setfacl -d -m u::rwx,g::rwx,o::rx d && umask 022 && cat in >d/ref && $Z in "
         "d/t tarns encode && [ \"$(getfacl -c d/ref)\" = \"$(getfacl -c d/t)\" ]"},
        {"new file under a default ACL naming a user", "setfacl --version",
         "mkdir d && setfacl -d -m u::rwx,g::rwx,o::rx,u:65534:rwx d && umask 022 && cat in "
         ">d/ref && $Z in d/t tarns encode && [ \"$(getfacl -c d/ref)\" = \"$(getfacl -c d/t)\" ]"},
#ifndef __SANITIZE_ADDRESS__  // the sanitizers' run-time library needs /proc
        {"no /proc", other_user + " && unshare -m true",
         "chmod 755 . && mkdir -m 333 d && chown 65534 d && for i in 1 2; do unshare -m sh -c "
         "\"umount -l /proc && exec setpriv --reuid=65534 --regid=65534 --clear-groups $Z in "
         "d/t tarns encode\" && chmod 200 d/t || exit 1; done && cmp want d/t && "
         "[ $(stat -c %a d/t) = 200 ]"},
#endif
    };
    export_tools();  // for the rows' needs, as for their commands
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const scratch_folder dir;
        write_file(dir / "in", plain);
        write_file(dir / "want", plain_encoded);
        if (!shim_loads && c.command.find("$SHIM") != std::string::npos) {
            skip_row(c.name, "a static binary cannot have the fault shim preloaded");
            continue;
        }
        // The rows' other users run copies of the binary and the shim in the
        // scratch folder, which they can reach wherever the build lies.
        ASSERT_TRUE(sh("cp \"$Z\" z && cp \"$SHIM\" shim.so", dir.path));
        const std::string copies = "Z=\"$PWD/z\"; SHIM=\"$PWD/shim.so\"; ";
        if (const std::string why = failure_of(copies + c.needs, dir.path); !why.empty()) {
            skip_row(c.name, why);
            continue;
        }
        EXPECT_EQ(shell(dir.path, copies + "{ " + c.command + "; } > /dev/null"), 0) << c.command;
    }
}

TEST(Hostile, SignalHeldBackDuringTheRenameDoesNotUndoTheSuccess)
{
    SKIP_WITHOUT_SHIM()
    const scratch_folder dir;
    write_file(dir / "in", plain);
    write_file(dir / "out", old_bytes);
    const run_result r =
        run_zodevir({dir / "in", dir / "out", "tarns", "encode"}, with_fault("held_signal", 0));
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "encoding...\n");
    EXPECT_EQ(read_file(dir / "out"), plain_encoded);
    EXPECT_EQ(folder_entries(dir.path), (strings{"in", "out"}));
}

TEST(Hostile, FolderMovedDuringTheRunKeepsTrackOfTheTemporaryFile)
{
    for (const bool interrupt : {false, true}) {
        const scratch_folder dir;
        ASSERT_EQ(mkdir((dir / "a").c_str(), 0755), 0);
        ASSERT_EQ(mkfifo((dir / "src").c_str(), 0600), 0);
        write_file(dir / "a/out", old_bytes);
        running child = start_zodevir({dir / "src", dir / "a/out", "tarns", "encode"});
        const int writer = open((dir / "src").c_str(), O_WRONLY);
        ASSERT_GE(writer, 0);
        ASSERT_EQ(write(writer, plain.data(), plain.size()), static_cast<ssize_t>(plain.size()));
        ASSERT_TRUE(wait_for_temporary(dir / "a", static_cast<off_t>(plain.size())));
        ASSERT_EQ(rename((dir / "a").c_str(), (dir / "b").c_str()), 0);
        if (interrupt) {
            kill(child.pid, SIGTERM);
        }
        close(writer);
        const run_result r = finish(child);
        EXPECT_EQ(r.signal, interrupt ? SIGTERM : 0);
        EXPECT_EQ(r.exit_code, interrupt ? -1 : 0);
        EXPECT_EQ(read_file(dir / "b/out"), interrupt ? old_bytes : plain_encoded);
        EXPECT_EQ(folder_entries(dir / "b"), strings{"out"});
        EXPECT_EQ(folder_entries(dir.path), (strings{"b", "src"}));
    }
}

TEST(Hostile, FolderPathNearTheLimitWorks)
{
    // The folder's path leaves room for "/out" but not for the temporary
    // file's name: the temporary file is made relative to the folder.
    const scratch_folder dir;
    std::string folder = dir.path;
    while (folder.size() < 4085) {
        folder += '/';
        folder.append(std::min<std::size_t>(200, 4085 - folder.size()), 'd');
        ASSERT_EQ(mkdir(folder.c_str(), 0755), 0) << folder.size();
    }
    write_file(dir / "in", plain);
    for (int round = 0; round < 2; ++round) {  // a new file, then a replaced one
        const run_result r = run_zodevir({dir / "in", folder + "/out", "tarns", "encode"});
        EXPECT_EQ(r.exit_code, 0) << round;
        EXPECT_EQ(read_file(folder + "/out"), plain_encoded);
        EXPECT_EQ(folder_entries(folder), strings{"out"});
    }
    // Deeper than any path can name, reached step by step, and without /proc:
    // a new file and a replaced one, named relative to the working folder.
    // (The sanitizers' run-time library cannot do without /proc.)
    std::string deeper = "cd -P " + dir.path;
    for (std::size_t at = dir.path.size() + 1; at < folder.size();) {
        const std::size_t end = std::min(folder.find('/', at), folder.size());
        deeper += " && cd -P " + folder.substr(at, end - at);
        at = end + 1;
    }
    // Some 5,000 bytes deep, past PATH_MAX.
    const std::string step =
        " && mkdir -p " + std::string(250, 'e') + " && cd -P " + std::string(250, 'e');
    deeper += step + step + step + step + " && ";
    const std::string no_proc = "unshare -m sh -c 'umount -l /proc && cd " + dir.path + " && ";
    std::vector<std::string> ways{deeper};
#ifndef __SANITIZE_ADDRESS__
    // Needs root, and a / that is a mount point (not in a chroot).
    if (std::system("unshare -m true 2>/dev/null") == 0) {
        ways.push_back(no_proc);
    }
#endif
    for (const std::string& how : ways) {
        const std::string ending = how == no_proc ? "'" : "";
        // A new file, a replaced one, and one replaced through a link.
        for (const std::string target : {"out", "out", "link"}) {
            const std::string link = target == "link" ? "ln -sf out link && " : "";
            ASSERT_EQ(std::system((how + link + "'" ZODEVIR_BINARY "' " + dir / "in" + " " +
                                   target + " tarns encode > /dev/null" + ending)
                                      .c_str()),
                      0)
                << how << target;
        }
    }
    if (ways.size() > 1) {
        EXPECT_EQ(read_file(dir / "out"), plain_encoded);
        struct stat link {};
        EXPECT_TRUE(lstat((dir / "link").c_str(), &link) == 0 && S_ISLNK(link.st_mode));
    }
}

TEST(Hostile, LinkLoopsAndOverlongChainsAreRefused)
{
    const scratch_folder dir;
    write_file(dir / "in", plain);
    write_file(dir / "end", old_bytes);
    ASSERT_EQ(symlink("loop-b", (dir / "loop-a").c_str()), 0);
    ASSERT_EQ(symlink("loop-a", (dir / "loop-b").c_str()), 0);
    // 41 links to a file, and 41 links to nothing: one more than is followed.
    for (int i = 0; i < 41; ++i) {
        const std::string next = i == 40 ? "end" : "long" + std::to_string(i + 1);
        ASSERT_EQ(symlink(next.c_str(), (dir / "long" + std::to_string(i)).c_str()), 0);
        const std::string next_dangling = i == 40 ? "never" : "dangle" + std::to_string(i + 1);
        ASSERT_EQ(symlink(next_dangling.c_str(), (dir / "dangle" + std::to_string(i)).c_str()), 0);
    }
    const strings before = folder_entries(dir.path);
    for (const std::string name : {"loop-a", "long0", "dangle0"}) {
        const run_result r = run_zodevir({dir / "in", dir / name, "tarns", "encode"});
        EXPECT_EQ(r.exit_code, 1) << name;
        EXPECT_EQ(r.out, "encoding...Error:Cannot open the destiny file:" + dir / name);
        EXPECT_EQ(read_file(dir / "end"), old_bytes);
        EXPECT_EQ(folder_entries(dir.path), before) << name;
    }
    // 30 links to a missing name create it.
    EXPECT_EQ(run_zodevir({dir / "in", dir / "dangle11", "tarns", "encode"}).exit_code, 0);
    EXPECT_EQ(read_file(dir / "never"), plain_encoded);
    // One link fewer is followed to the end.
    EXPECT_EQ(run_zodevir({dir / "in", dir / "long1", "tarns", "encode"}).exit_code, 0);
    EXPECT_EQ(read_file(dir / "end"), plain_encoded);
}

TEST(Hostile, NameChangedJustBeforeItsOpenIsRefusedAndNothingIsCreated)
{
    SKIP_WITHOUT_SHIM()
    // Between the lookup and the open for writing the file goes, or another
    // is moved or made there: the run opens neither, creates nothing and
    // removes only what it made. One moved over it just before the rename
    // keeps its place, and is kept when it is moved on again before the
    // swap back.
    const struct {
        std::string race;
        std::string failed;  // "open" or "write"
        strings entries;     // the folder afterwards; "T" for the temporary name
        std::string kept;    // what "out", or else "T", then holds
    } cases[] = {
        {"vanish", "open", {"in", "other"}, ""},
        {"moved_in", "open", {"in", "out"}, "moved in"},
        {"moved_in_late", "write", {"in", "out"}, "moved in"},
        {"planted", "open", {"in", "other", "out"}, ""},
        {"undo_raced", "write", {"T", "in", "other"}, "moved in"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.race);
        const scratch_folder dir;
        write_file(dir / "in", plain);
        write_file(dir / "out", old_bytes);
        write_file(dir / "other", "moved in");
        run_options options = with_fault(c.race, 0);
        options.environment.push_back("ZODEVIR_RACE=" + dir / "out");
        options.environment.push_back("ZODEVIR_RACE_TO=" + dir / "other");
        const run_result r = run_zodevir({dir / "in", dir / "out", "tarns", "encode"}, options);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.out,
                  "encoding...Error:Cannot " + c.failed + " the destiny file:" + dir / "out");
        const std::string temporary = temporary_in(dir.path);
        strings entries = folder_entries(dir.path);
        for (auto& entry : entries) {
            entry = dir / entry == temporary ? "T" : entry;
        }
        EXPECT_EQ(entries, c.entries);
        EXPECT_EQ(read_file(c.entries[0] == "T" ? temporary : dir / "out"), c.kept);
    }
}

TEST(Hostile, BusyFileIsReplacedAndEveryStepChecksWhatItReached)
{
    SKIP_WITHOUT_SHIM()
    // A running program (ETXTBSY) and a file under another program's read
    // lease (EWOULDBLOCK) are replaced; a race at each step after the
    // lookup is refused, or does not change what the output is given.
    const struct {
        std::string busy;  // "program", "lease", or "" for an idle file
        std::string race;  // the shim's, on out, with "other" as its partner
        int status;
        std::string kept;  // out's user.note afterwards; "" when out is kept
    } cases[] = {
        {"program", "", 0, "old"},
        {"lease", "", 0, "old"},
        {"program", "borrowed", 0, "old"},  // the reopen for reading is checked
        {"", "to_link", 1, ""},             // the open for writing does not follow a link
        {"", "flip_exchange", 1, ""},       // the walk must end where the kernel did
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.busy + " " + c.race);
        const scratch_folder dir;
        write_file(dir / "in", plain);
        const std::string out = dir / "out";
        if (c.busy == "program") {
            ASSERT_EQ(shell(dir.path, "cp /bin/sleep out"), 0);
        } else {
            write_file(out, old_bytes);
        }
        ASSERT_EQ(setxattr(out.c_str(), "user.note", "old", 3, 0), 0);
        write_file(dir / "other", "other");
        ASSERT_EQ(setxattr((dir / "other").c_str(), "user.note", "new", 3, 0), 0);
        std::string path = out;
        std::string partner = dir / "other";
        if (c.race == "to_link") {
            // A link to another name of the very same file.
            ASSERT_EQ(link(out.c_str(), (dir / "hard").c_str()), 0);
            partner = dir / "hard";
        } else if (c.race == "flip_exchange") {
            // Two links of the runner's own, to out and to other, swapped at
            // each lookup.
            ASSERT_EQ(symlink("out", (dir / "a").c_str()), 0);
            ASSERT_EQ(symlink("other", (dir / "b").c_str()), 0);
            path = dir / "a";
            partner = dir / "b";
        }
        pid_t program = -1;
        int leased = -1;
        if (c.busy == "program") {
            program = fork();
            if (program == 0) {
                execl(out.c_str(), "sleep", "10", static_cast<char*>(nullptr));
                _exit(127);
            }
            usleep(100000);
        } else if (c.busy == "lease") {
            signal(SIGIO, SIG_IGN);  // the lease's break notice
            leased = open(out.c_str(), O_RDONLY);
            ASSERT_EQ(fcntl(leased, F_SETLEASE, F_RDLCK), 0);
        }
        run_options options = with_fault(c.race, 0);
        options.environment.push_back("ZODEVIR_RACE=" + path);
        options.environment.push_back("ZODEVIR_RACE_TO=" + partner);
        const run_result r = run_zodevir({dir / "in", path, "tarns", "encode"}, options);
        if (program > 0) {
            kill(program, SIGKILL);
            wait_for(program);
        }
        close(leased);
        EXPECT_EQ(r.exit_code, c.status) << r.out;
        char note[8] = {};
        if (c.status == 0) {
            EXPECT_EQ(read_file(out), plain_encoded);
            EXPECT_EQ(getxattr(out.c_str(), "user.note", note, sizeof note), 3);
            EXPECT_EQ(std::string(note), c.kept);
        } else {
            // Refused before the source is read; nothing written anywhere.
            EXPECT_EQ(r.out, "encoding...Error:Cannot open the destiny file:" + path);
            struct stat st {};
            EXPECT_TRUE(lstat(out.c_str(), &st) == 0 &&
                        (c.race == "to_link") == S_ISLNK(st.st_mode));
            EXPECT_EQ(read_file(c.race == "to_link" ? dir / "hard" : out), old_bytes);
            EXPECT_EQ(read_file(dir / "other"), "other");
        }
        EXPECT_EQ(temporary_in(dir.path), "");
    }
}

TEST(HostileAsRoot, DescriptorFolderIsKnownWhereverItsFileSystemIsMounted)
{
    // Through a second mount of the process file system, as through /proc,
    // the caller's stream is appended to, not replaced.
    const scratch_folder dir;
    write_file(dir / "in", plain);
    write_file(dir / "archive", "log\n");
    ASSERT_EQ(mkdir((dir / "P").c_str(), 0755), 0);
    if (const std::string why = failure_of("mount -t proc proc P", dir.path); !why.empty()) {
        GTEST_SKIP() << "cannot mount a process file system: " << why;
    }
    const int status = shell(dir.path, "\"$Z\" in P/self/fd/1 tarns encode >> archive 2>/dev/null");
    shell(dir.path, "umount P");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(read_file(dir / "archive"), "log\n" + plain_encoded);
}

TEST(HostileAsRoot, StorageSeenTwiceAtAnyDepthIsNotWrittenInPlace)
{
    const machine_lock loops("loop");  // losetup -f picks from one pool
    // Chains of loop devices, an overlay's view of a backing file, and the
    // device under a mounted file system: writing one while reading the
    // other in place would leave it half encoded with no record.
    const scratch_folder dir;
    const std::string image(1 << 20, 'i');
    write_file(dir / "img", image);
    const std::string setup =
        "a=$(losetup -f --show img) && b=$(losetup -f --show $a) && c=$(losetup -f --show $b) &&"
        " echo $a $b $c > devices";
    if (const std::string why = needs_root(); !why.empty()) {
        GTEST_SKIP() << why;
    }
    if (const std::string why = failure_of(setup, dir.path); !why.empty()) {
        GTEST_SKIP() << "cannot attach loop devices: " << why;
    }
    std::istringstream listed(read_file(dir / "devices"));
    std::string a, b, c;
    listed >> a >> b >> c;
    // Backing files that sysfs names wrongly, below a first loop device: a
    // name with a line end in it, and a name since removed (the file is
    // still read through another link).
    write_file(dir / "nl\nimg", image);
    write_file(dir / "gone", image);
    ASSERT_EQ(link((dir / "gone").c_str(), (dir / "kept").c_str()), 0);
    ASSERT_EQ(shell(dir.path,
                    "d=$(losetup -f --show \"$(printf \"nl\\nimg\")\") &&"
                    " e=$(losetup -f --show $d) && f=$(losetup -f --show gone) &&"
                    " g=$(losetup -f --show $f) && rm gone && echo $d $e $f $g > devices"),
              0);
    std::istringstream more(read_file(dir / "devices"));
    std::string d, e, f, g;
    more >> d >> e >> f >> g;
    const struct {
        std::string source, target;
    } cases[] = {{c, a}, {a, c}, {dir / "img", c}, {c, b}, {dir / "nl\nimg", e}, {dir / "kept", g}};
    for (const auto& row : cases) {
        const run_result r = run_zodevir({row.source, row.target, "pw", "encode"});
        EXPECT_EQ(r.exit_code, 1) << row.source << " -> " << row.target;
        EXPECT_EQ(r.out, "encoding...Error:Cannot open the destiny file:" + row.target);
    }
    // Without /sys, what lies below the first level cannot be told: refused.
    EXPECT_EQ(shell(dir.path, "unshare -m sh -c \"umount -l /sys && \\\"$Z\\\" img " + c +
                                  " pw encode\" > /dev/null"),
              1);
    shell(dir.path, "losetup -d " + g + " " + f + " " + e + " " + d + " " + c + " " + b + " " + a);
    EXPECT_TRUE(read_file(dir / "img") == image);
    EXPECT_TRUE(read_file(dir / "nl\nimg") == image);
    EXPECT_TRUE(read_file(dir / "kept") == image);

    // The overlay's file over the lower folder's image, which a loop
    // device reads and writes.
    for (const std::string folder : {"lower", "upper", "work", "merged"}) {
        ASSERT_EQ(mkdir((dir / folder).c_str(), 0755), 0);
    }
    write_file(dir / "lower/img", image);
    if (shell(dir.path,
              "mount -t overlay overlay -o lowerdir=lower,upperdir=upper,workdir=work"
              " merged 2>/dev/null && losetup -f --show lower/img > devices") == 0) {
        const std::string loop =
            read_file(dir / "devices").substr(0, read_file(dir / "devices").find('\n'));
        const run_result r = run_zodevir({dir / "merged/img", loop, "pw", "encode"});
        EXPECT_EQ(r.exit_code, 1) << "overlay";
        shell(dir.path, "losetup -d " + loop);
        EXPECT_EQ(read_file(dir / "lower/img"), image);
    }
    shell(dir.path, "umount merged 2>/dev/null");

    // Two partitions of one loop device are two stretches of it: one may be
    // written while the other is read; the device itself may not.
    if (const std::string why = failure_of(
            "truncate -s 8M parted && printf 'label: dos\\n,3M\\n,3M\\n' | sfdisk -q parted &&"
            " p=$(losetup -f --show -P parted) && echo $p > devices && partx -a $p",
            dir.path);
        !why.empty()) {
        skip_row("partitions", "cannot partition a loop device: " + why);
    } else {
        const std::string p =
            read_file(dir / "devices").substr(0, read_file(dir / "devices").find('\n'));
        EXPECT_EQ(run_zodevir({p + "p1", p + "p2", "pw", "encode"}).exit_code, 0);
        EXPECT_EQ(run_zodevir({p + "p1", p, "pw", "encode"}).exit_code, 1);
    }
    shell(dir.path, "[ ! -s devices ] || losetup -d $(cat devices)");

    // A FUSE file system passing the source's folder through (bindfs),
    // written through a descriptor either way round: nothing is appended to
    // the file being read.
    if (const std::string why = failure_of("mkdir base bound && bindfs base bound", dir.path);
        !why.empty()) {
        skip_row("bindfs", "cannot mount bindfs: " + why);
    } else {
        write_file(dir / "base/g", image);
        for (const std::string run :
             {"base/g /dev/fd/3 pw encode 3>>bound/g", "bound/g /dev/fd/3 pw encode 3>>base/g"}) {
            EXPECT_EQ(shell(dir.path, "ulimit -f 4096; \"$Z\" " + run + " > /dev/null"), 1) << run;
        }
        shell(dir.path, "fusermount -u bound");
        EXPECT_TRUE(read_file(dir / "base/g") == image);
    }

    // A file on a mounted file system, and the device under it.
    if (shell(dir.path,
              "truncate -s 8M fs && mkfs.ext4 -q fs 2>/dev/null && d=$(losetup -f --show fs)"
              " && mkdir m && mount $d m && echo $d > devices") == 0) {
        const std::string loop =
            read_file(dir / "devices").substr(0, read_file(dir / "devices").find('\n'));
        write_file(dir / "m/file", image);
        const run_result r = run_zodevir({dir / "m/file", loop, "pw", "encode"});
        EXPECT_EQ(r.exit_code, 1) << "file system";
        // Its image written in place through a descriptor, as the device
        // is: refused. By name it is replaced by a new file, and the device
        // goes on with the old one, untouched.
        const std::string file_system = read_file(dir / "fs");
        for (const std::string to :
             {"/dev/stdout 1<>fs 2>/dev/null", "/dev/fd/3 3<>fs >/dev/null"}) {
            EXPECT_EQ(shell(dir.path, "\"$Z\" m/file " + to + " pw encode"), 1) << to;
            EXPECT_TRUE(read_file(dir / "fs") == file_system) << to;
        }
        EXPECT_EQ(shell(dir.path, "\"$Z\" m/file fs pw encode >/dev/null"), 0);
        EXPECT_TRUE(read_file(dir / "fs") == expected_output(image, "pw", cipher_mode::encode));
        EXPECT_EQ(read_file(dir / "m/file"), image);
        // A file on it may be written while the device is read (until the
        // device's copy fills the file system on it).
        const std::string copy = dir / "m/copy";
        EXPECT_EQ(run_zodevir({loop, copy, "pw", "encode"}).out,
                  "encoding...Error:Cannot write the destiny file:" + copy);
        shell(dir.path, "umount m; losetup -d " + loop);
    }
}

// Sets the kernel's protections in sticky folders as Debian does
// (fs.protected_symlinks 1, protected_regular 2, protected_fifos 1) for the
// life of the test, then puts the old values back.
class KernelProtectionsAsRoot : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (auto& [name, value, saved] : settings) {
            saved = read_file("/proc/sys/fs/" + name);
            write_file("/proc/sys/fs/" + name, value);
            if (saved.empty() || read_file("/proc/sys/fs/" + name) != value + "\n") {
                GTEST_SKIP() << "cannot set fs." << name
                             << (geteuid() != 0 ? ": " + needs_root() : " here");
            }
        }
    }
    void TearDown() override
    {
        for (const auto& [name, value, saved] : settings) {
            if (!saved.empty()) {
                write_file("/proc/sys/fs/" + name, saved);
            }
        }
    }
    // Another run of the suite would restore its own saved values under us.
    const machine_lock held{"sysctl"};
    struct setting {
        std::string name, value, saved;
    };
    setting settings[3] = {{"protected_symlinks", "1", ""},
                           {"protected_regular", "2", ""},
                           {"protected_fifos", "1", ""}};
};

TEST_F(KernelProtectionsAsRoot, WhatAnotherUserPlantedInAStickyFolderIsRefused)
{
    // Another user's link, file or FIFO in a sticky, world-writable folder:
    // a root run must not write through it or into it, as cat > out would
    // not, whether a link's target exists or not.
    const scratch_folder shared;
    const scratch_folder victim;
    ASSERT_EQ(chmod(shared.path.c_str(), 01777), 0);
    write_file(victim / "in", plain);
    const std::string out = shared / "out";
    for (const std::string& planted :
         {victim / "secret", victim / "created", std::string("/proc/self/fd/1"),
          std::string("file"), std::string("fifo")}) {
        write_file(victim / "secret", old_bytes);
        unlink(out.c_str());
        const bool link = planted[0] == '/';
        if (link) {
            ASSERT_EQ(symlink(planted.c_str(), out.c_str()), 0);
        } else if (planted == "file") {
            write_file(out, old_bytes);
        } else {
            ASSERT_EQ(mkfifo(out.c_str(), 0666), 0);
        }
        ASSERT_EQ(lchown(out.c_str(), 65534, 65534), 0);
        ASSERT_EQ(link || chmod(out.c_str(), 0666) == 0, true);
        // A reader on the FIFO would see anything written into it.
        const int reader = planted == "fifo" ? open(out.c_str(), O_RDONLY | O_NONBLOCK) : -1;
        const run_result r = run_zodevir({victim / "in", out, "tarns", "encode"});
        char got[16];
        EXPECT_LE(reader < 0 ? 0 : read(reader, got, sizeof got), 0) << planted;
        close(reader);
        EXPECT_EQ(r.exit_code, 1) << planted;
        EXPECT_EQ(r.out, "encoding...Error:Cannot open the destiny file:" + out) << planted;
        EXPECT_EQ(folder_entries(victim.path), (strings{"in", "secret"}));
        EXPECT_EQ(read_file(victim / "secret"), old_bytes);
        EXPECT_EQ(planted != "file" || read_file(out) == old_bytes, true) << planted;

        // The folder owner's own link is followed.
        if (link && planted != "/proc/self/fd/1") {
            ASSERT_EQ(lchown(out.c_str(), 0, 0), 0);
            EXPECT_EQ(run_zodevir({victim / "in", out, "tarns", "encode"}).exit_code, 0);
            EXPECT_EQ(read_file(planted), plain_encoded);
            unlink((victim / "created").c_str());
        }
    }
    // Without the protection root replaces the planted file, but the output
    // is not handed to its owner.
    write_file("/proc/sys/fs/protected_regular", "0");
    unlink(out.c_str());
    write_file(out, old_bytes);
    ASSERT_EQ(chown(out.c_str(), 65534, 65534), 0);
    EXPECT_EQ(run_zodevir({victim / "in", out, "tarns", "encode"}).exit_code, 0);
    struct stat st {};
    ASSERT_EQ(stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(read_file(out), plain_encoded);
}

TEST_F(KernelProtectionsAsRoot, NamesRacedInAStickyFolderNeverLeadARootRunElsewhere)
{
    SKIP_WITHOUT_SHIM()
    // Another user flips a name in a sticky folder at each of the run's
    // lookups: between nothing and her link into her own folder, or between
    // a hard link to her file and a link to it. The output never reaches
    // her folder or her file: it is refused, or a new file of root's
    // under the name that was free.
    const scratch_folder shared;
    const scratch_folder home;
    ASSERT_EQ(chmod(shared.path.c_str(), 01777), 0);
    ASSERT_EQ(chown(home.path.c_str(), 65534, 65534), 0);
    write_file(shared / "in", plain);
    const struct {
        std::string race;
        bool flipped_first;  // the other state to begin with
    } cases[] = {{"flip_link", false},
                 {"flip_link", true},
                 {"flip_exchange", false},
                 {"flip_exchange", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.race + (c.flipped_first ? " flipped" : ""));
        const std::string out = shared / "out";
        const std::string other = shared / "other";
        unlink(out.c_str());
        unlink(other.c_str());
        unlink((home / "f").c_str());
        write_file(home / "f", old_bytes);
        ASSERT_EQ(chown((home / "f").c_str(), 65534, 65534), 0);
        std::string to = home / "created";
        if (c.race == "flip_exchange") {
            ASSERT_EQ(link((home / "f").c_str(), out.c_str()), 0);
            ASSERT_EQ(symlink((home / "f").c_str(), other.c_str()), 0);
            ASSERT_EQ(lchown(other.c_str(), 65534, 65534), 0);
            to = other;
            if (c.flipped_first) {
                ASSERT_EQ(
                    renameat2(AT_FDCWD, out.c_str(), AT_FDCWD, other.c_str(), RENAME_EXCHANGE), 0);
            }
        } else if (c.flipped_first) {
            ASSERT_EQ(symlink(to.c_str(), out.c_str()), 0);
            ASSERT_EQ(lchown(out.c_str(), 65534, 65534), 0);
        }
        run_options options = with_fault(c.race, 0);
        options.environment.push_back("ZODEVIR_RACE=" + out);
        options.environment.push_back("ZODEVIR_RACE_TO=" + to);
        const run_result r = run_zodevir({shared / "in", out, "tarns", "encode"}, options);
        EXPECT_EQ(read_file(home / "f"), old_bytes);
        struct stat st {};
        ASSERT_EQ(stat((home / "f").c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 65534u);
        EXPECT_EQ(folder_entries(home.path), strings{"f"});
        if (r.exit_code == 0) {
            // Only a name that was free may get the output, as root's file.
            EXPECT_EQ(c.race, "flip_link");
            ASSERT_EQ(lstat(out.c_str(), &st), 0);
            EXPECT_TRUE(S_ISREG(st.st_mode));
            EXPECT_EQ(st.st_uid, 0u);
            EXPECT_EQ(read_file(out), plain_encoded);
        } else {
            EXPECT_EQ(r.exit_code, 1);
            EXPECT_EQ(r.out.rfind("encoding...Error:Cannot ", 0), 0u) << r.out;
        }
    }
}

TEST(Hostile, DestinationNamingADescriptorIsWrittenThroughIt)
{
    const struct {
        std::string command;
        int status;
        std::string got;  // what the file "got" holds afterwards; it starts as "log\n"
        std::string out;  // what the run printed on standard output and error
        std::string err;
        bool root = false;  // the row needs root
    } cases[] = {
        {"set -o pipefail; $Z in /dev/stdout tarns encode 2>err | cat > got", 0, plain_encoded, "",
         "encoding...\n"},
        {"$Z in /dev/stdout tarns encode >>got 2>err", 0, "log\n" + plain_encoded, "",
         "encoding...\n"},
        {"{ echo head; $Z in /dev/stdout tarns encode; } >got 2>err", 0, "head\n" + plain_encoded,
         "", "encoding...\n"},
        {"$Z in /dev/fd/3 tarns encode 3>>got >out 2>err", 0, "log\n" + plain_encoded,
         "encoding...\n", ""},
        {"$Z in /proc/self/fd/3 tarns encode 3>>got >out 2>err", 0, "log\n" + plain_encoded,
         "encoding...\n", ""},
        {"$Z in got tarns encode >got 2>err", 0, plain_encoded, "", "encoding...\n"},
        // Any spelling that leads into the process's descriptor folder.
        {"$Z in /dev//stdout tarns encode >>got 2>err", 0, "log\n" + plain_encoded, "",
         "encoding...\n"},
        {"$Z in /dev/./stdout tarns encode >>got 2>err", 0, "log\n" + plain_encoded, "",
         "encoding...\n"},
        {"$Z in //dev/fd/1 tarns encode >>got 2>err", 0, "log\n" + plain_encoded, "",
         "encoding...\n"},
        {"$Z in /proc/thread-self/fd/1 tarns encode >>got 2>err", 0, "log\n" + plain_encoded, "",
         "encoding...\n"},
        {"exec $Z in /proc/$$/fd/1 tarns encode >>got 2>err", 0, "log\n" + plain_encoded, "",
         "encoding...\n"},
        {"D=$PWD; cd /dev && $Z $D/in stdout tarns encode >>$D/got 2>$D/err", 0,
         "log\n" + plain_encoded, "", "encoding...\n"},
        {"D=$PWD; cd /dev/fd && exec $Z $D/in 1 tarns encode >>$D/got 2>$D/err", 0,
         "log\n" + plain_encoded, "", "encoding...\n"},
        {"$Z in /dev/fd/12 tarns encode 12>>got >out 2>err", 0, "log\n" + plain_encoded,
         "encoding...\n", ""},
        {"ulimit -n 11000 && $Z in /dev/fd/10500 tarns encode 10500>>got >out 2>err", 0,
         "log\n" + plain_encoded, "encoding...\n", ""},
        // Opened to read and write, it is written from where it stands.
        {"$Z in /dev/fd/3 tarns encode 3<>got >out 2>err", 0, plain_encoded, "encoding...\n", ""},
        // The caller's descriptor is the run's to use, not to close: the
        // console text after the output still goes there.
        {"$Z in /dev/stderr tarns encode >>got 2>&1", 0, "log\nencoding..." + plain_encoded + "\n",
         "", ""},
        // A link to a descriptor name stays a link.
        {"ln -s /dev/stdout lk && $Z in lk tarns encode >>got 2>err; s=$?; [ -L lk ] && rm lk && "
         "exit $s",
         0, "log\n" + plain_encoded, "", "encoding...\n"},
        // Names in or beside the descriptor folder that are no descriptor,
        // and another process's descriptor: refused, the message where the
        // console text goes.
        {"$Z in /proc/self/fdinfo/1 tarns encode >>got 2>err", 1,
         "log\nencoding...Error:Cannot open the destiny file:/proc/self/fdinfo/1", "", ""},
        {"$Z in /dev/fd/01 tarns encode >>got 2>err", 1,
         "log\nencoding...Error:Cannot open the destiny file:/dev/fd/01", "", ""},
        {"$Z in /dev/fd/4294967297 tarns encode >>got 2>err", 1,
         "log\nencoding...Error:Cannot open the destiny file:/dev/fd/4294967297", "", ""},
        {"sleep 9 >>got & ln -s /proc/$!/fd/1 other; $Z in other tarns encode >>got 2>err; s=$?; "
         "kill $!; rm other && exit $s",
         1, "log\nencoding...Error:Cannot open the destiny file:other", "", ""},
        // A link swapped at each lookup between two descriptors: what the
        // walk names must be what the kernel opened.
        {"ln -s /proc/self/fd/3 d && ln -s /proc/self/fd/4 e && LD_PRELOAD=$SHIM "
         "ZODEVIR_FAULT=flip_exchange ZODEVIR_RACE=$PWD/d ZODEVIR_RACE_TO=$PWD/e "
         "ASAN_OPTIONS=verify_asan_link_order=0 $Z in d tarns encode 3>>got 4>>out 2>err >&2; "
         "s=$?; rm d e; exit $s",
         1, "log\n", "", "encoding...Error:Cannot open the destiny file:d"},
        // A direct destination's flush: a failure is a failed write; a file
        // that cannot be flushed at all (EINVAL) is not.
        {"LD_PRELOAD=$SHIM ZODEVIR_FAULT=fsync_direct ASAN_OPTIONS=verify_asan_link_order=0 "
         "$Z in /dev/fd/3 tarns encode 3>>got >out 2>err",
         1, "log\n" + plain_encoded, "encoding...Error:Cannot write the destiny file:/dev/fd/3",
         ""},
        {"LD_PRELOAD=$SHIM ZODEVIR_FAULT=fsync_direct ZODEVIR_FAULT_ERRNO=22 "
         "ASAN_OPTIONS=verify_asan_link_order=0 $Z in /dev/fd/3 tarns encode 3>>got >out 2>err",
         0, "log\n" + plain_encoded, "encoding...\n", ""},
        // A descriptor on a file that was deleted is written, and no file is
        // made in its old name.
        {"exec 3>gone && rm gone && $Z in /dev/fd/3 tarns encode >out 2>err", 0, "log\n",
         "encoding...\n", ""},
        // In a PID namespace whose /proc counts process IDs as the parent's.
        {"unshare -pf $Z in /dev/stdout tarns encode >>got 2>err", 0, "log\n" + plain_encoded, "",
         "encoding...\n", true},
        // A reader that goes away, and a descriptor whose close fails, are
        // failed writes.
        {"yes plain text | head -c 3300000 > big && set -o pipefail && "
         "$Z big /dev/stdout tarns encode 2>err | head -c 10 >got; s=$?; rm big; exit $s",
         1, plain_encoded.substr(0, 10), "",
         "encoding...Error:Cannot write the destiny file:/dev/stdout"},
        {"LD_PRELOAD=$SHIM ZODEVIR_FAULT=close_direct ASAN_OPTIONS=verify_asan_link_order=0 "
         "$Z in /dev/fd/3 tarns encode 3>>got >out 2>err",
         1, "log\n" + plain_encoded, "encoding...Error:Cannot write the destiny file:/dev/fd/3",
         ""},
        {"$Z in /dev/fd/3 tarns encode 3<got >out 2>err", 1, "log\n",
         "encoding...Error:Cannot open the destiny file:/dev/fd/3", ""},
        {"$Z in /dev/fd/7 tarns encode >out 2>err", 1, "log\n",
         "encoding...Error:Cannot open the destiny file:/dev/fd/7", ""},
        // Appending the source to itself would never end; the limit only
        // bounds the damage should it ever be tried.
        {"ulimit -f 100; $Z got /dev/stdout tarns encode >>got 2>err", 1, "log\n", "",
         "encoding...Error:Cannot open the destiny file:/dev/stdout"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        if (c.root && geteuid() != 0) {
            skip_row(c.command, needs_root());
            continue;
        }
        if (!shim_loads && c.command.find("$SHIM") != std::string::npos) {
            skip_row(c.command, "a static binary cannot have the fault shim preloaded");
            continue;
        }
        const scratch_folder dir;
        write_file(dir / "in", plain);
        write_file(dir / "got", "log\n");
        write_file(dir / "out", "");
        write_file(dir / "err", "");
        EXPECT_EQ(shell(dir.path, c.command), c.status) << c.command;
        EXPECT_EQ(read_file(dir / "got"), c.got) << c.command;
        EXPECT_EQ(read_file(dir / "out"), c.out) << c.command;
        EXPECT_EQ(read_file(dir / "err"), c.err) << c.command;
        EXPECT_EQ(folder_entries(dir.path), (strings{"err", "got", "in", "out"})) << c.command;
    }
}

TEST(HostileAsRoot, TwoFilesWithOneInodeNumberOnTwoMountsAreTwoFiles)
{
    const machine_lock loops("loop");  // losetup -f picks from one pool
    // Files on two mounts may share an inode number and still be two files:
    // the output goes to the other one.
    const scratch_folder dir;
    write_file(dir / "in", plain);
    if (const std::string why =
            failure_of("mkdir a b && mount -t tmpfs t a && mount -t tmpfs t b", dir.path);
        !why.empty()) {
        GTEST_SKIP() << "cannot mount a tmpfs: " << why;
    }
    ASSERT_EQ(shell(dir.path, "cp in a/f && echo log > b/f"), 0);
    struct stat a {};
    struct stat b {};
    ASSERT_EQ(stat((dir / "a/f").c_str(), &a), 0);
    ASSERT_EQ(stat((dir / "b/f").c_str(), &b), 0);
    const int status = shell(dir.path, "$Z a/f /dev/stdout tarns encode >>b/f 2>/dev/null");
    const std::string got = read_file(dir / "b/f");
    // So may a loop device's backing file and the source: the device is
    // written.
    const int loop_status =
        shell(dir.path,
              "truncate -s 1M b/f; d=$(losetup -f --show b/f 2>/dev/null) || exit 77; "
              "$Z a/f $d tarns encode >/dev/null; s=$?; "
              "losetup -d $d; exit $s");
    const std::string written = read_file(dir / "b/f");
    shell(dir.path, "umount a b");
    if (a.st_ino == b.st_ino) {
        EXPECT_EQ(status, 0);
        EXPECT_EQ(got, "log\n" + plain_encoded);
        if (loop_status != 77) {
            EXPECT_EQ(loop_status, 0);
            EXPECT_EQ(written.substr(0, plain.size()), plain_encoded);
        }
    }
}

TEST_F(OtherUserAsRoot, GroupIsKeptWhenTheOwnerCannotBe)
{
    write_file(dir / "shared", old_bytes);
    ASSERT_EQ(chown((dir / "shared").c_str(), 1234, 5555), 0);
    ASSERT_EQ(chmod((dir / "shared").c_str(), 0660), 0);
    run_options options;
    options.user = 65533;
    options.extra_group = 5555;
    const run_result r = run_zodevir({dir / "in", dir / "shared", "tarns", "encode"}, options);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(read_file(dir / "shared"), plain_encoded);
    struct stat st {};
    ASSERT_EQ(stat((dir / "shared").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65533u);
    EXPECT_EQ(st.st_gid, 5555u);
    EXPECT_EQ(st.st_mode & 07777, 0660u);
}

TEST_F(OtherUserAsRoot, AnotherUsersFileInAStickyFolderIsRefusedBeforeReading)
{
    ASSERT_EQ(chmod(dir.path.c_str(), 01777), 0);
    write_file(dir / "theirs", old_bytes);
    ASSERT_EQ(chown((dir / "theirs").c_str(), 1234, 1234), 0);
    ASSERT_EQ(chmod((dir / "theirs").c_str(), 0666), 0);
    run_options options;
    options.user = 65534;
    const run_result r = run_zodevir({dir / "in", dir / "theirs", "tarns", "encode"}, options);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "encoding...Error:Cannot open the destiny file:" + dir / "theirs");
    EXPECT_EQ(read_file(dir / "theirs"), old_bytes);
    EXPECT_EQ(folder_entries(dir.path), (strings{"in", "theirs"}));
}

TEST_F(OtherUserAsRoot, WriteOnlyFileIsReplacedOnlyWhenNothingOfItIsLost)
{
    // Her own file that she may write but not read: its ACL can be carried
    // over, a user.* attribute (which she may not read) could not.
    for (const std::string extra : {"setfacl -m u:1234:r ", "setfattr -n user.note -v kept "}) {
        const std::string file = dir / "mine";
        write_file(file, old_bytes);
        ASSERT_EQ(chown(file.c_str(), 65534, 65534), 0);
        if (const std::string why = failure_of(extra + file); !why.empty()) {
            GTEST_SKIP() << "cannot set an ACL or attribute on " << file << ": " << why;
        }
        ASSERT_EQ(chmod(file.c_str(), 0200), 0);
        const std::string listed = "getfattr -dm- " + file + " > " + dir / "attributes";
        ASSERT_EQ(std::system(listed.c_str()), 0);
        const std::string attributes = read_file(dir / "attributes");
        run_options options;
        options.user = 65534;
        const run_result r = run_zodevir({dir / "in", file, "tarns", "encode"}, options);
        const bool refused = extra.find("user.") != std::string::npos;
        EXPECT_EQ(r.out, refused ? "encoding...Error:Cannot open the destiny file:" + file
                                 : "encoding...\n");
        EXPECT_EQ(read_file(file), refused ? old_bytes : plain_encoded) << extra;
        ASSERT_EQ(std::system(listed.c_str()), 0);
        EXPECT_EQ(read_file(dir / "attributes"), attributes) << extra;
        EXPECT_EQ(mode_of(file), 0200u);
        unlink(file.c_str());
    }
}

}  // namespace
