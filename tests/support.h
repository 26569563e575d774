// What the tests that run the built zodevir binary share: the fixtures on
// every platform, and on POSIX systems the helpers that run it.
#pragma once

#include <string>

#include "known_answers.h"

// What a destination holds before a run that must leave it as it was.
inline const std::string old_bytes = "the old destination, which must survive";

#ifndef _WIN32

#include <sys/resource.h>
#include <sys/types.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "transform.h"

using strings = std::vector<std::string>;

// Runs a shell command line (in folder, if one is given); true when it exits 0.
bool sh(const std::string& command, const std::string& folder = {});
// Runs a shell command line like sh, its output dropped. Empty when it
// exits 0; otherwise why not, for a skipped test to name what is missing:
// the first line it wrote on standard error, or its exit status.
std::string failure_of(const std::string& command, const std::string& folder = {});
// Why this process cannot do what needs root, or empty when it is root.
std::string needs_root();
// Says that one row of a table did not run, and why, in a line the test
// command's summary of skipped tests picks up; the test goes on.
void skip_row(const std::string& row, const std::string& why);

struct run_options {
    rlim_t file_size_limit = RLIM_INFINITY;  // RLIMIT_FSIZE for the child
    bool ignore_sigxfsz = false;
    int umask_value = -1;   // the child's umask; -1 keeps the parent's
    std::string folder;     // working folder of the child; empty keeps ours
    uid_t user = 0;         // run as this user and group (when we are root); 0 keeps ours
    gid_t extra_group = 0;  // and with this supplementary group, if not 0
    std::vector<std::string> environment;  // NAME=VALUE entries added to the child's
    int ignored_signal = 0;                // a signal the child starts with ignored
    bool core_dumps = false;  // allow core files (in the working folder, where they go here)
};

struct run_result {
    std::string out;     // everything the run printed on standard output
    std::string err;     // and on standard error
    int exit_code = -1;  // -1 when ended by a signal
    int signal = 0;      // the signal that ended it, or 0
};

// A run that has been started but not waited for.
struct running {
    pid_t pid = -1;
    int out_fd = -1;
    int err_fd = -1;
};

running start_zodevir(const std::vector<std::string>& args, const run_options& options = {});
// Reads standard output until at least want bytes (or its end) arrived.
std::string read_output(running& child, std::size_t want);
run_result finish(running& child, std::string already_read = {});
// The wait status of a child process, waiting through EINTR; -1 if there is
// no such child.
int wait_for(pid_t pid);
run_result run_zodevir(const std::vector<std::string>& args, const run_options& options = {});

std::string read_file(const std::string& path);
mode_t mode_of(const std::string& path);  // the permission and set-id bits
void write_file(const std::string& path, const std::string& data);
bool path_exists(const std::string& path);
std::vector<std::string> folder_entries(const std::string& path);  // sorted, without . and ..
// Whether the test's other user (uid 65534) can reach path: a private TMPDIR
// may keep it out.
bool reachable_by_another_user(const std::string& path);
// The path of the run's temporary file in folder, or empty when there is none.
std::string temporary_in(const std::string& folder);
// Waits (up to 20 s) until a temporary file of at least size bytes is in folder.
bool wait_for_temporary(const std::string& folder, off_t size);

// Holds one of the machine's shared things (its fs.protected_* settings, its
// loop devices) for the test's life, so that tests and test runs that use it
// take turns, even from two copies of the suite: an exclusive flock on a
// file named for it in /tmp, which every user can reach.
struct machine_lock {
    explicit machine_lock(const std::string& what);
    ~machine_lock();
    machine_lock(const machine_lock&) = delete;
    machine_lock& operator=(const machine_lock&) = delete;
    int fd = -1;
};

// A fresh folder, removed with everything in it at the end of the test.
struct scratch_folder {
    scratch_folder();
    ~scratch_folder();
    scratch_folder(const scratch_folder&) = delete;
    scratch_folder& operator=(const scratch_folder&) = delete;
    std::string operator/(const std::string& name) const { return path + "/" + name; }
    std::string path;
};

// Tests that need root live in suites whose names end in AsRoot: CTest
// labels them "root" by that name, and each skips, saying why, without it.

// The tool run as another user (uid 65534) in a folder every user may
// write, holding plain text as "in"; needs root to switch users.
class OtherUserAsRoot : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root to run the tool as another user";
        }
        ASSERT_EQ(chmod(dir.path.c_str(), 0777), 0);
        if (!reachable_by_another_user(dir.path)) {
            GTEST_SKIP() << "other users cannot reach " << dir.path << " (a private TMPDIR?)";
        }
        write_file(dir / "in", plain);
    }
    scratch_folder dir;
};

// The expected output, computed byte by byte from the definition: each byte
// transformed under the key value of its position's slot.
std::string expected_output(const std::string& data, const std::string& password, cipher_mode mode,
                            std::uint64_t first_position = 0);

// Bytes that exercise every value, in an order that is not the slot order.
std::string sample_bytes(std::size_t size, unsigned seed = 1);

#endif  // _WIN32
