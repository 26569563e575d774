// Nothing is lost under failures made to happen on purpose (system calls
// failed from a preloaded shim), moved folders, planted links, other users,
// and destinations that are the caller's own streams.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "known_answers.h"
#include "support.h"

namespace {

using strings = std::vector<std::string>;

const std::string old_bytes = "the old destination, which must survive";

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

TEST(Hostile, InjectedFailuresLoseNothing)
{
    const struct {
        std::string call;
        int error;
        std::string message;
        bool output_in_place = false;  // the failure came after the rename
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
    };
    for (const auto& c : cases) {
        const scratch_folder dir;
        write_file(dir / "in", sample_bytes(3 << 20));
        write_file(dir / "out", old_bytes);
        const run_result r =
            run_zodevir({dir / "in", dir / "out", "pw", "encode"}, with_fault(c.call, c.error));
        const std::string subject = c.call == "read" ? dir / "in" : dir / "out";
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

TEST(Hostile, SignalHeldBackDuringTheRenameDoesNotUndoTheSuccess)
{
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
    deeper += " && mkdir -p e && cd -P e && ";
    const std::string no_proc = "unshare -m sh -c 'umount -l /proc && cd " + dir.path + " && ";
    std::vector<std::string> ways{deeper};
#ifndef __SANITIZE_ADDRESS__
    ways.push_back(no_proc);
#endif
    for (const std::string& how : ways) {
        const std::string ending = how == no_proc ? "'" : "";
        for (int round = 0; round < 2; ++round) {
            ASSERT_EQ(std::system((how + "'" ZODEVIR_BINARY "' " + dir / "in" +
                                   " out tarns encode > /dev/null" + ending)
                                      .c_str()),
                      0)
                << how << round;
        }
    }
    if (ways.size() > 1) {
        EXPECT_EQ(read_file(dir / "out"), plain_encoded);
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
    // One link fewer is followed to the end.
    EXPECT_EQ(run_zodevir({dir / "in", dir / "long1", "tarns", "encode"}).exit_code, 0);
    EXPECT_EQ(read_file(dir / "end"), plain_encoded);
}

// Sets fs.protected_symlinks for the life of the object, then restores it.
class ProtectedSymlinks : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved = read_file(setting);
        write_file(setting, "1");
        if (saved.empty() || read_file(setting) != "1\n") {
            GTEST_SKIP() << "cannot set fs.protected_symlinks here";
        }
    }
    void TearDown() override
    {
        if (!saved.empty()) {
            write_file(setting, saved);
        }
    }
    const std::string setting = "/proc/sys/fs/protected_symlinks";
    std::string saved;
};

TEST_F(ProtectedSymlinks, LinkPlantedInAStickyFolderIsNotFollowed)
{
    // Another user's link in a sticky, world-writable folder, pointing at a
    // file of root's or at a name root would create: a root run must not
    // write through it, whether its target exists or not.
    const scratch_folder shared;
    const scratch_folder victim;
    ASSERT_EQ(chmod(shared.path.c_str(), 01777), 0);
    write_file(victim / "secret", old_bytes);
    write_file(victim / "in", plain);
    for (const std::string& target : {victim / "secret", victim / "created"}) {
        const std::string link = shared / "out";
        unlink(link.c_str());
        ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
        ASSERT_EQ(lchown(link.c_str(), 65534, 65534), 0);
        const run_result r = run_zodevir({victim / "in", link, "tarns", "encode"});
        EXPECT_EQ(r.exit_code, 1) << target;
        EXPECT_EQ(r.out, "encoding...Error:Cannot open the destiny file:" + link);
        EXPECT_EQ(folder_entries(victim.path), (strings{"in", "secret"}));
        EXPECT_EQ(read_file(victim / "secret"), old_bytes);

        // The folder owner's own link is followed.
        ASSERT_EQ(lchown(link.c_str(), 0, 0), 0);
        EXPECT_EQ(run_zodevir({victim / "in", link, "tarns", "encode"}).exit_code, 0) << target;
        EXPECT_EQ(read_file(target), plain_encoded);
        write_file(victim / "secret", old_bytes);
        unlink((victim / "created").c_str());
    }
}

// Runs a bash command line in folder with $Z set to the binary; returns its
// exit status.
int shell(const std::string& folder, const std::string& command)
{
    setenv("Z", ZODEVIR_BINARY, 1);
    setenv("SHIM", ZODEVIR_FAULT_SHIM, 1);
    const int status =
        std::system(("cd '" + folder + "' && exec bash -c '" + command + "'").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Hostile, DestinationNamingADescriptorIsWrittenThroughIt)
{
    const struct {
        std::string command;
        int status;
        std::string got;  // what the file "got" holds afterwards; it starts as "log\n"
        std::string out;  // what the run printed on standard output and error
        std::string err;
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

    // A descriptor on a file that was deleted is written, and no file is
    // made in its old name.
    const scratch_folder dir;
    write_file(dir / "in", plain);
    EXPECT_EQ(shell(dir.path, "exec 3>gone && rm gone && $Z in /dev/fd/3 tarns encode >out"), 0);
    EXPECT_EQ(read_file(dir / "out"), "encoding...\n");
    EXPECT_EQ(folder_entries(dir.path), (strings{"in", "out"}));

    // Files on two mounts may share an inode number and still be two files:
    // the output goes to the other one.
    ASSERT_EQ(shell(dir.path,
                    "mkdir a b && mount -t tmpfs t a && mount -t tmpfs t b && "
                    "cp in a/f && echo log > b/f"),
              0);
    struct stat a {};
    struct stat b {};
    ASSERT_EQ(stat((dir / "a/f").c_str(), &a), 0);
    ASSERT_EQ(stat((dir / "b/f").c_str(), &b), 0);
    const int status = shell(dir.path, "$Z a/f /dev/stdout tarns encode >>b/f 2>/dev/null");
    const std::string got = read_file(dir / "b/f");
    shell(dir.path, "umount a b");
    if (a.st_ino == b.st_ino) {
        EXPECT_EQ(status, 0);
        EXPECT_EQ(got, "log\n" + plain_encoded);
    }
}

// Runs as other users need root.
class OtherUser : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root to run the tool as another user";
        }
        ASSERT_EQ(chmod(dir.path.c_str(), 0777), 0);
        write_file(dir / "in", plain);
    }
    scratch_folder dir;
};

TEST_F(OtherUser, GroupIsKeptWhenTheOwnerCannotBe)
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

TEST_F(OtherUser, AnotherUsersFileInAStickyFolderIsRefusedBeforeReading)
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
    // Root may.
    EXPECT_EQ(run_zodevir({dir / "in", dir / "theirs", "tarns", "encode"}).exit_code, 0);
    EXPECT_EQ(read_file(dir / "theirs"), plain_encoded);
}

}  // namespace
