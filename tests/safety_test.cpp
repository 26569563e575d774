// Nothing is lost: failures, signals and awkward destinations leave the old
// destination as it was and no temporary file behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "support.h"

namespace {

// Writes data into a FIFO from a child process, so the test can read the
// other end at the same time.
pid_t feed_fifo(const std::string& fifo, const std::string& data)
{
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(fifo.c_str(), O_WRONLY);
        std::size_t done = 0;
        while (fd >= 0 && done < data.size()) {
            const ssize_t n = write(fd, data.data() + done, data.size() - done);
            if (n <= 0) {
                _exit(1);
            }
            done += static_cast<std::size_t>(n);
        }
        _exit(fd >= 0 ? 0 : 1);
    }
    return pid;
}

int wait_exit(pid_t pid)
{
    const int status = wait_for(pid);
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Safety, WriteFailuresAreReportedAndLeaveNothingBehind)
{
    const scratch_folder dir;
    write_file(dir / "in", sample_bytes(1 << 20));
    write_file(dir / "out", old_bytes);
    {
        const run_result r = run_zodevir({dir / "in", "/dev/full", "pw", "encode"});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.out, "encoding...Error:Cannot write the destiny file:/dev/full");
    }
    // A file size limit, whether or not the caller ignores SIGXFSZ.
    for (const bool ignore : {true, false}) {
        run_options options;
        options.file_size_limit = 64 * 1024;
        options.ignore_sigxfsz = ignore;
        const run_result r = run_zodevir({dir / "in", dir / "out", "pw", "decode"}, options);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.out, "decoding...Error:Cannot write the destiny file:" + dir / "out");
        EXPECT_EQ(read_file(dir / "out"), old_bytes);
        EXPECT_EQ(folder_entries(dir.path), (strings{"in", "out"}));
    }
}

TEST(SafetyAsRoot, ReadFailureIsReportedAndKeepsTheDestination)
{
    // Reading this process's memory from address 0 fails with EIO; the run
    // is not dumpable, so only root may open it.
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to open a process's memory that is not dumpable";
    }
    const scratch_folder dir;
    write_file(dir / "out", old_bytes);
    const run_result r = run_zodevir({"/proc/self/mem", dir / "out", "pw", "encode"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "encoding...Error:Cannot read the source file:/proc/self/mem");
    EXPECT_EQ(read_file(dir / "out"), old_bytes);
    EXPECT_EQ(folder_entries(dir.path), strings{"out"});
}

TEST(Safety, SignalsRemoveTheTemporaryFileAndEndTheRunBySignal)
{
    // Every signal that ends a process and can be caught ends the run and
    // removes its temporary file. SIGHUP while the caller ignores it, and
    // the signals that do not end a process (SIGTSTP is followed by
    // SIGCONT), leave the run to finish.
    const int ends[] = {SIGTERM,   SIGINT,  SIGHUP, SIGQUIT, SIGALRM,   SIGUSR1,  SIGUSR2,  SIGXCPU,
                        SIGVTALRM, SIGPROF, SIGPWR, SIGIO,   SIGSTKFLT, SIGRTMIN, SIGRTMAX, SIGABRT,
                        SIGSYS,    SIGTRAP, SIGBUS, SIGSEGV, SIGFPE,    SIGILL};
    std::vector<std::pair<int, bool>> cases;  // the signal, and whether it ends the run
    for (const int sig : ends) {
        cases.emplace_back(sig, true);
    }
    for (const int sig : {SIGHUP, SIGCHLD, SIGWINCH, SIGCONT, SIGTSTP}) {
        cases.emplace_back(sig, false);
    }
    for (const auto& [sig, ending] : cases) {
        const scratch_folder dir;
        const std::string fifo = dir / "src";
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        write_file(dir / "out", old_bytes);
        run_options options;
        options.folder = dir.path;  // where a core file would be written
        options.core_dumps = true;
        options.ignored_signal = ending ? 0 : SIGHUP;
        running child = start_zodevir({fifo, dir / "out", "pw", "encode"}, options);
        const int writer = open(fifo.c_str(), O_WRONLY);
        ASSERT_GE(writer, 0);
        const std::string part = sample_bytes(5000);
        ASSERT_EQ(write(writer, part.data(), part.size()), static_cast<ssize_t>(part.size()));

        // Wait until the run has written what it was given, then signal it.
        ASSERT_TRUE(wait_for_temporary(dir.path, 5000)) << "the run never wrote its temporary file";
        struct stat st {};
        ASSERT_EQ(stat(temporary_in(dir.path).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u) << "the temporary file is not private";
        kill(child.pid, sig);
        if (sig == SIGTSTP) {
            usleep(20000);
            kill(child.pid, SIGCONT);
        }
        close(writer);
        const run_result r = finish(child);
        EXPECT_EQ(r.signal, ending ? sig : 0) << "signal " << sig;
        EXPECT_EQ(r.out, ending ? "encoding..." : "encoding...\n") << "signal " << sig;
        EXPECT_EQ(read_file(dir / "out") == old_bytes, ending) << "signal " << sig;
        EXPECT_EQ(read_file(dir / "out").size(), ending ? old_bytes.size() : part.size());
        // No core file either: it would hold the key table.
        EXPECT_EQ(folder_entries(dir.path), (strings{"out", "src"})) << "signal " << sig;
    }
}

TEST(Safety, InPlaceUnderAnyNameLosesNothing)
{
    const std::string data = sample_bytes(300000, 3);
    const std::string encoded = expected_output(data, "in place", cipher_mode::encode);
    const struct {
        std::string source;
        std::string target;
    } cases[] = {
        {"file", "file"},
        {"file", "./file"},
        {"./sub/../file", "file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.source + " to " + c.target);
        const scratch_folder dir;
        mkdir((dir / "sub").c_str(), 0755);
        write_file(dir / "file", data);
        run_options options;
        options.folder = dir.path;
        const run_result enc = run_zodevir({c.source, c.target, "in place", "encode"}, options);
        EXPECT_EQ(enc.exit_code, 0);
        EXPECT_EQ(enc.out, "encoding...\n");
        EXPECT_EQ(read_file(dir / "file"), encoded) << c.source << " -> " << c.target;
        EXPECT_EQ(run_zodevir({c.target, c.source, "in place", "decode"}, options).exit_code, 0);
        EXPECT_EQ(read_file(dir / "file"), data);
        EXPECT_EQ(folder_entries(dir.path), (strings{"file", "sub"}));
    }
}

TEST(Safety, HardLinkedDestinationGetsANewFileAndTheSourceStays)
{
    const scratch_folder dir;
    const std::string data = sample_bytes(70000, 4);
    write_file(dir / "a", data);
    ASSERT_EQ(link((dir / "a").c_str(), (dir / "b").c_str()), 0);
    const run_result r = run_zodevir({dir / "a", dir / "b", "pw", "encode"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "encoding...\n");
    EXPECT_EQ(r.err, "Warning:1 other hard link to " + dir / "b" + " still holds the old bytes\n");
    EXPECT_EQ(read_file(dir / "b"), expected_output(data, "pw", cipher_mode::encode));
    EXPECT_EQ(read_file(dir / "a"), data);
    EXPECT_EQ(folder_entries(dir.path), (strings{"a", "b"}));
}

TEST(Safety, SymbolicLinkStaysALinkAndItsTargetGetsTheOutput)
{
    const std::string data = sample_bytes(9000, 5);
    const std::string encoded = expected_output(data, "pw", cipher_mode::encode);
    const scratch_folder dir;
    const scratch_folder elsewhere;
    write_file(dir / "in", data);
    write_file(dir / "target", old_bytes);
    write_file(elsewhere / "far", old_bytes);
    ASSERT_EQ(symlink("target", (dir / "link").c_str()), 0);
    ASSERT_EQ(symlink("link", (dir / "chain").c_str()), 0);
    ASSERT_EQ(symlink("not-yet", (dir / "dangling").c_str()), 0);
    ASSERT_EQ(symlink("dangling", (dir / "to-dangling").c_str()), 0);
    ASSERT_EQ(symlink((elsewhere / "far").c_str(), (dir / "absolute").c_str()), 0);
    const struct {
        std::string link;
        std::string receiver;
    } cases[] = {
        {"link", dir / "target"},         {"chain", dir / "target"},
        {"to-dangling", dir / "not-yet"}, {"dangling", dir / "not-yet"},
        {"absolute", elsewhere / "far"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.link);
        char before[256] = {};
        ASSERT_GT(readlink((dir / c.link).c_str(), before, sizeof before - 1), 0);
        const run_result r = run_zodevir({dir / "in", dir / c.link, "pw", "encode"});
        EXPECT_EQ(r.exit_code, 0) << c.link;
        struct stat st {};
        ASSERT_EQ(lstat((dir / c.link).c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode)) << c.link;
        char after[256] = {};
        ASSERT_GT(readlink((dir / c.link).c_str(), after, sizeof after - 1), 0);
        EXPECT_STREQ(after, before);
        EXPECT_EQ(read_file(c.receiver), encoded) << c.link;
    }
    EXPECT_EQ(folder_entries(dir.path), (strings{"absolute", "chain", "dangling", "in", "link",
                                                 "not-yet", "target", "to-dangling"}));
    EXPECT_EQ(folder_entries(elsewhere.path), strings{"far"});
}

TEST(SafetyAsRoot, ReplacedDestinationKeepsItsPermissionsAndOwner)
{
    const scratch_folder dir;
    write_file(dir / "in", "some bytes");
    // A read-only file is replaced only by root: no one else may write it.
    for (const mode_t mode : {mode_t{0640}, mode_t{0600}, mode_t{0755}, mode_t{02750},
                              geteuid() == 0 ? mode_t{0444} : mode_t{0640}}) {
        write_file(dir / "out", old_bytes);
        ASSERT_EQ(chmod((dir / "out").c_str(), mode), 0);
        ASSERT_EQ(run_zodevir({dir / "in", dir / "out", "pw", "encode"}).exit_code, 0);
        EXPECT_EQ(mode_of(dir / "out"), mode);
        EXPECT_EQ(read_file(dir / "out"), expected_output("some bytes", "pw", cipher_mode::encode));
    }
    if (geteuid() == 0) {
        ASSERT_EQ(chown((dir / "out").c_str(), 1234, 5678), 0);
        ASSERT_EQ(run_zodevir({dir / "in", dir / "out", "pw", "decode"}).exit_code, 0);
        struct stat st {};
        ASSERT_EQ(stat((dir / "out").c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 1234u);
        EXPECT_EQ(st.st_gid, 5678u);
    }
    // The ACL and the extended attributes stay with the name; file
    // capabilities do not, and a folder's default ACL is not taken up.
    const std::string out = dir / "out";
    if (const std::string why = failure_of(
            "setfacl -d -m u:65534:rwx " + dir.path + " && setfacl -m u:65534:-,g::r " + out +
            " && setfattr -n user.note -v kept " + out +
            " && setfattr -n security.capability -v 0sAAAAAgAgAAAAAAAAAAAAAAAAAAA= " + out);
        !why.empty()) {
        GTEST_SKIP() << "cannot set ACLs and attributes in " << dir.path << ": " << why;
    }
    const std::string before = "getfacl -cp " + out + " > " + dir / "acl";
    ASSERT_EQ(std::system(before.c_str()), 0);
    const std::string acl = read_file(dir / "acl");
    ASSERT_EQ(run_zodevir({out, out, "pw", "encode"}).exit_code, 0);
    ASSERT_EQ(std::system(before.c_str()), 0);
    EXPECT_EQ(read_file(dir / "acl"), acl);
    EXPECT_EQ(
        std::system(("getfattr --only-values -n user.note " + out + " > " + dir / "note").c_str()),
        0);
    EXPECT_EQ(read_file(dir / "note"), "kept");
    EXPECT_NE(std::system(("getfattr -n security.capability " + out + " 2>/dev/null").c_str()), 0);
    const std::string in = dir / "in";  // made before the folder had a default ACL
    ASSERT_EQ(run_zodevir({in, in, "pw", "encode"}).exit_code, 0);
    EXPECT_NE(std::system(("getfattr -n system.posix_acl_access " + in + " 2>/dev/null").c_str()),
              0);
}

TEST_F(OtherUserAsRoot, DestinationTheUserMayNotWriteIsRefused)
{
    // Root may write anything, so the run is made as an unprivileged user in
    // a folder that user may write.
    write_file(dir / "in", "source");
    write_file(dir / "locked", old_bytes);
    ASSERT_EQ(chmod((dir / "locked").c_str(), 0444), 0);
    run_options options;
    options.user = 65534;
    const run_result r = run_zodevir({dir / "in", dir / "locked", "pw", "encode"}, options);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "encoding...Error:Cannot open the destiny file:" + dir / "locked");
    EXPECT_EQ(read_file(dir / "locked"), old_bytes);
    EXPECT_EQ(folder_entries(dir.path), (strings{"in", "locked"}));

    // A file the user may write is replaced as usual.
    ASSERT_EQ(chmod((dir / "locked").c_str(), 0666), 0);
    EXPECT_EQ(run_zodevir({dir / "in", dir / "locked", "pw", "encode"}, options).exit_code, 0);
    EXPECT_EQ(read_file(dir / "locked"), expected_output("source", "pw", cipher_mode::encode));
}

TEST(Safety, NewDestinationGetsTheUsualModeForTheUmask)
{
    const struct {
        int umask_value;
        mode_t mode;
        std::string default_acl;  // the folder's, set with setfacl -d -m
    } cases[] = {{022, 0644, ""},
                 {077, 0600, ""},
                 {0, 0666, ""},
                 {027, 0640, ""},
                 // The umask does not apply where there is a default ACL.
                 {022, 0660, "g::rw,o::-"},
                 {077, 0644, "g::r,o::r"},
                 // A mask narrower than the group entry: the kernel's mask.
                 {022, 0640, "g::rw,u:nobody:rw,m::r"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << "umask " << std::oct << c.umask_value << ", default ACL "
                     << (c.default_acl.empty() ? "none" : c.default_acl));
        const scratch_folder dir;
        write_file(dir / "in", "x");
        const std::string why = c.default_acl.empty()
                                    ? ""
                                    : failure_of("setfacl -d -m " + c.default_acl + " " + dir.path);
        if (!why.empty()) {
            GTEST_SKIP() << "cannot set a default ACL on " << dir.path << ": " << why;
        }
        run_options options;
        options.umask_value = c.umask_value;
        EXPECT_EQ(run_zodevir({dir / "in", dir / "new", "pw", "encode"}, options).exit_code, 0);
        EXPECT_EQ(mode_of(dir / "new"), c.mode) << "umask " << c.umask_value << c.default_acl;
        // The ACL is the one the kernel gives a file created there.
        const std::string acl = "getfacl -c " + dir / "new" + " " + dir / "ref" + " 2>/dev/null";
        if (!c.default_acl.empty() &&
            std::system(
                ("umask 022; : > " + dir / "ref" + " && " + acl + " > " + dir / "acl").c_str()) ==
                0) {
            const std::string both = read_file(dir / "acl");
            const std::size_t gap = both.find("\n\n");
            ASSERT_NE(gap, std::string::npos) << both;
            EXPECT_EQ(both.substr(0, gap), both.substr(gap + 2, gap)) << both;
        }
    }
}

TEST(SafetyAsRoot, AppendOnlyOrImmutableFolderOrFileIsRefusedBeforeReading)
{
    const struct {
        std::string mark;  // chattr's
        std::string marked;
        std::string target;
    } cases[] = {
        {"+a", "", "out"},    {"+a", "", "new"},    {"+i", "", "new"},
        {"+a", "out", "out"}, {"+i", "out", "out"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("chattr " + c.mark + " on " + (c.marked.empty() ? "the folder" : c.marked) +
                     ", destination " + c.target);
        const scratch_folder dir;
        write_file(dir / "in", "source");
        write_file(dir / "out", old_bytes);
        const std::string marked = c.marked.empty() ? dir.path : dir / c.marked;
        if (const std::string why = failure_of("chattr " + c.mark + " " + marked); !why.empty()) {
            GTEST_SKIP() << "cannot chattr " << c.mark << " in " << dir.path << ": " << why;
        }
        const run_result r = run_zodevir({dir / "in", dir / c.target, "pw", "encode"});
        std::system(("chattr -a -i " + marked).c_str());
        EXPECT_EQ(r.exit_code, 1) << c.mark << c.marked;
        EXPECT_EQ(r.out, "encoding...Error:Cannot open the destiny file:" + dir / c.target);
        EXPECT_EQ(read_file(dir / "out"), old_bytes);
        EXPECT_EQ(folder_entries(dir.path), (strings{"in", "out"})) << c.mark << c.marked;
    }
}

TEST(Safety, FifoSourceAndFifoDestination)
{
    const scratch_folder dir;
    const std::string data = sample_bytes(700000, 6);
    ASSERT_EQ(mkfifo((dir / "src").c_str(), 0600), 0);
    const pid_t writer = feed_fifo(dir / "src", data);
    const run_result r = run_zodevir({dir / "src", dir / "out", "pw", "encode"});
    EXPECT_EQ(wait_exit(writer), 0);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "encoding...\n");
    EXPECT_EQ(read_file(dir / "out"), expected_output(data, "pw", cipher_mode::encode));

    // A FIFO destination is written directly: no temporary file, no rename.
    ASSERT_EQ(mkfifo((dir / "sink").c_str(), 0600), 0);
    running child = start_zodevir({dir / "out", dir / "sink", "pw", "decode"});
    const std::string back = read_file(dir / "sink");
    const run_result d = finish(child);
    EXPECT_EQ(d.exit_code, 0);
    EXPECT_EQ(back, data);
    EXPECT_EQ(folder_entries(dir.path), (strings{"out", "sink", "src"}));
}

TEST(SafetyAsRoot, NewDestinationInTheRootFolder)
{
    if (access("/", W_OK) != 0) {
        GTEST_SKIP() << "needs root to write in /";
    }
    const scratch_folder dir;
    write_file(dir / "in", plain);
    const std::string name = dir.path.substr(dir.path.rfind('/'));  // "/zodevir-test-..."
    const run_result r = run_zodevir({dir / "in", name, "tarns", "encode"});
    const std::string got = read_file(name);
    unlink(name.c_str());
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(got, plain_encoded);
}

TEST(Safety, DeviceDestinationIsWrittenDirectly)
{
    const machine_lock loops("loop");  // losetup -f picks from one pool
    const scratch_folder dir;
    // In place on one block device is refused: cut short, it would be left
    // part encoded. So is one device under two names (two loop devices over
    // one file), and a loop device over the source file.
    write_file(dir / "image", std::string(1 << 20, 'i'));
    const std::string attach = "losetup -f --show " + dir / "image" + " >> " + dir / "dev";
    if (std::system((attach + " 2>/dev/null && " + attach).c_str()) == 0) {
        const std::string first =
            read_file(dir / "dev").substr(0, read_file(dir / "dev").find('\n'));
        std::string second = read_file(dir / "dev").substr(first.size() + 1);
        second.pop_back();
        for (const auto& [source, target] :
             {std::pair{first, first}, std::pair{first, second}, std::pair{dir / "image", first}}) {
            const run_result r = run_zodevir({source, target, "pw", "encode"});
            EXPECT_EQ(r.exit_code, 1) << source << " -> " << target;
            EXPECT_EQ(r.out, "encoding...Error:Cannot open the destiny file:" + target);
            EXPECT_EQ(read_file(dir / "image"), std::string(1 << 20, 'i'));
        }
        // The same device through a descriptor is refused too; another
        // device over another file is written.
        const std::string z = "'" ZODEVIR_BINARY "' " + first;
        EXPECT_NE(std::system((z + " /dev/fd/3 pw encode 3>" + first + " >/dev/null").c_str()), 0);
        // And so is the backing file through a descriptor, the loop device
        // being the source.
        EXPECT_NE(
            std::system((z + " /dev/fd/3 pw encode 3>>" + dir / "image" + " >/dev/null").c_str()),
            0);
        write_file(dir / "other", std::string(1 << 20, 'o'));
        EXPECT_EQ(std::system(("d=$(losetup -f --show " + dir / "other" + ") && " + z +
                               " $d pw encode >/dev/null; s=$?; losetup -d $d; exit $s")
                                  .c_str()),
                  0);
        EXPECT_NE(read_file(dir / "other"), std::string(1 << 20, 'o'));
        std::system(("losetup -d " + first + " " + second).c_str());
    }
    write_file(dir / "in", sample_bytes(100000));
    // The same device as source and destination is not the same file twice.
    for (const std::string& source : {dir / "in", std::string("/dev/null")}) {
        const run_result r = run_zodevir({source, "/dev/null", "pw", "encode"});
        EXPECT_EQ(r.exit_code, 0) << source;
        EXPECT_EQ(r.out, "encoding...\n");
    }
    struct stat st {};
    ASSERT_EQ(stat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
}

TEST(Safety, PasswordLeavesTheProcessListOnceTheTableIsBuilt)
{
    const scratch_folder dir;
    const std::string fifo = dir / "src";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string password = "hunter2-not-for-ps";
    running child = start_zodevir({fifo, dir / "out", password, "encode"});
    // The announcement comes after the table is built; the run then waits on
    // the FIFO for a writer.
    const std::string shown = read_output(child, 11);
    ASSERT_EQ(shown, "encoding...");
    const std::string cmdline = read_file("/proc/" + std::to_string(child.pid) + "/cmdline");
    // Every byte of the password is zeroed; its length stays visible.
    const std::string zeroed(password.size() + 1, '\0');
    EXPECT_EQ(cmdline, std::string(ZODEVIR_BINARY) + '\0' + fifo + '\0' + dir / "out" + '\0' +
                           zeroed + "encode" + '\0');

    const int writer = open(fifo.c_str(), O_WRONLY);
    ASSERT_EQ(write(writer, "abc", 3), 3);
    close(writer);
    const run_result r = finish(child, shown);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(read_file(dir / "out"), expected_output("abc", password, cipher_mode::encode));
}

TEST(Safety, UnusedPasswordVariableLeavesTheEnvironmentToo)
{
    // A password given twice, by a file and by the variable: the one not
    // used is wiped from the environment all the same.
    const scratch_folder dir;
    const std::string fifo = dir / "src";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    write_file(dir / "pw", "tarns\n");
    run_options options;
    options.environment = {"ZODEVIR_PASSWORD_FILE=" + dir / "pw", "ZODEVIR_PASSWORD=unused-secret"};
    running child = start_zodevir({fifo, dir / "out", "", "encode"}, options);
    const std::string shown = read_output(child, 11);
    ASSERT_EQ(shown, "encoding...");
    const std::string environment = read_file("/proc/" + std::to_string(child.pid) + "/environ");
    EXPECT_EQ(environment.find("unused-secret"), std::string::npos);
    const int writer = open(fifo.c_str(), O_WRONLY);
    ASSERT_EQ(write(writer, "abc", 3), 3);
    close(writer);
    EXPECT_EQ(finish(child, shown).exit_code, 0);
    EXPECT_EQ(read_file(dir / "out"), expected_output("abc", "tarns", cipher_mode::encode));
}

// A folder in which no new file can be created but an existing one can be
// written: a tiny tmpfs whose only free inode is taken by the destination.
class FullFolderAsRoot : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (mount("tmpfs", dir.path.c_str(), "tmpfs", 0, "size=4m,nr_inodes=2") != 0) {
            GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
        }
        mounted = true;
        write_file(dir / "out", old_bytes);
        ASSERT_EQ(read_file(dir / "out"), old_bytes);
        ASSERT_LT(open((dir / "probe").c_str(), O_WRONLY | O_CREAT, 0600), 0);
    }
    void TearDown() override
    {
        if (mounted) {
            umount2(dir.path.c_str(), MNT_DETACH);
        }
    }
    scratch_folder dir;
    scratch_folder other;
    bool mounted = false;
};

TEST_F(FullFolderAsRoot, NoTemporaryFileMeansTheDestinationIsRefusedUntouched)
{
    // Writing the destination directly would lose it to a later failure, so
    // a run that cannot make a temporary file beside it refuses it, whether
    // or not it is also the source.
    write_file(other / "in", sample_bytes(20000, 8));
    for (const std::string& source : {other / "in", dir / "out"}) {
        const run_result r = run_zodevir({source, dir / "out", "pw", "encode"});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.out, "encoding...Error:Cannot open the destiny file:" + dir / "out");
        EXPECT_EQ(read_file(dir / "out"), old_bytes);
        EXPECT_EQ(folder_entries(dir.path), strings{"out"});
    }
}

TEST(Stream, MoreThanTwoGibibytesThroughPipes)
{
    // Past 2^31 bytes positions no longer fit 32 bits; the key stream must go on.
    const std::uint64_t total = (1ull << 31) + 12345;
    const std::string pattern = sample_bytes((1 << 20) + 1, 9);  // not a multiple of the period
    const scratch_folder dir;
    ASSERT_EQ(mkfifo((dir / "src").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo((dir / "dst").c_str(), 0600), 0);

    running child = start_zodevir({dir / "src", dir / "dst", "big", "encode"});
    const pid_t writer = fork();
    if (writer == 0) {
        const int fd = open((dir / "src").c_str(), O_WRONLY);
        std::uint64_t sent = 0;
        while (fd >= 0 && sent < total) {
            const std::size_t offset = static_cast<std::size_t>(sent % pattern.size());
            const std::size_t want = static_cast<std::size_t>(
                std::min<std::uint64_t>(pattern.size() - offset, total - sent));
            const ssize_t n = write(fd, pattern.data() + offset, want);
            if (n <= 0) {
                _exit(1);
            }
            sent += static_cast<std::uint64_t>(n);
        }
        _exit(fd >= 0 ? 0 : 1);
    }
    const int reader = open((dir / "dst").c_str(), O_RDONLY);
    ASSERT_GE(reader, 0);
    constexpr std::size_t tail_size = 64 * 1024;
    std::string tail;
    std::vector<char> chunk(1 << 20);
    std::uint64_t received = 0;
    for (ssize_t n; (n = read(reader, chunk.data(), chunk.size())) > 0;) {
        received += static_cast<std::uint64_t>(n);
        tail.append(chunk.data(), static_cast<std::size_t>(n));
        if (tail.size() > 4 * tail_size) {
            tail.erase(0, tail.size() - tail_size);
        }
    }
    close(reader);
    EXPECT_EQ(wait_exit(writer), 0);
    const run_result r = finish(child);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");  // no progress line where no one looks
    ASSERT_EQ(received, total);

    tail.erase(0, tail.size() - tail_size);
    const std::uint64_t first = total - tail_size;
    std::string plain(tail_size, '\0');
    for (std::size_t i = 0; i < tail_size; ++i) {
        plain[i] = pattern[static_cast<std::size_t>((first + i) % pattern.size())];
    }
    EXPECT_EQ(tail, expected_output(plain, "big", cipher_mode::encode, first));
}

}  // namespace
