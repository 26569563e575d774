// A run that said it was done survives a crash: small file systems on loop
// devices are shut down the instant the run ends, dropping everything not yet
// on the disk, as a power loss would, then mounted again.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "support.h"

namespace {

// Mounts made from here on are this test's alone. A mount namespace another
// process makes while a file system is mounted keeps that file system alive
// after its unmount here, and the mount after the crash then finds the
// shut-down one again instead of reading the disk.
std::string own_mount_namespace()
{
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_SLAVE, nullptr) != 0) {
        return std::string("cannot make a mount namespace of its own: ") + std::strerror(errno);
    }
    return {};
}

// A file system made by mkfs on a loop device over a sparse image file in
// image_folder, mounted at mnt.
class loop_file_system {
public:
    loop_file_system(const std::string& mkfs, const std::string& options,
                     const std::string& image_folder, const char* image_size = "320M")
        : options_(options.empty() ? "" : "-o " + options + " ")
    {
        static const std::string unshared = own_mount_namespace();
        if (!unshared.empty()) {
            why_not = unshared;
            return;
        }
        const std::string image = image_folder + "/image";
        if (const std::string why =
                failure_of("truncate -s " + std::string(image_size) + " " + image);
            !why.empty()) {
            why_not = "cannot make an image file: " + why;
            return;
        }
        // The device's name, or what losetup said instead.
        std::string said;
        if (FILE* p = popen(("losetup -f --show " + image + " 2>&1").c_str(), "r")) {
            char line[256] = {};
            if (std::fgets(line, sizeof line, p) != nullptr) {
                said = std::string(line, std::strcspn(line, "\n"));
            }
            if (pclose(p) == 0) {
                device = said;
            }
        }
        std::string why;
        if (device.empty()) {
            why_not = "cannot attach a loop device: " + (said.empty() ? "losetup failed" : said);
        } else if (why = failure_of(mkfs + " " + device); !why.empty()) {
            why_not = "'" + mkfs + "' failed: " + why;
        } else if (why =
                       failure_of("mkdir -p " + mnt + " && mount " + options_ + device + " " + mnt);
                   !why.empty()) {
            why_not = "cannot mount " + mkfs + " " + options + ": " + why;
        } else {
            mounted_ = true;
        }
    }
    ~loop_file_system()
    {
        if (mounted_) {
            sh("umount " + mnt);
        }
        if (!device.empty()) {
            sh("losetup -d " + device);
        }
    }
    // Makes another program's fsync force the journal, then drops all that is
    // not on the disk yet, and mounts the file system again.
    void crash(bool after_an_fsync)
    {
        if (after_an_fsync) {
            ASSERT_TRUE(
                sh("echo x > " + mnt + "/unrelated && xfs_io -c fsync " + mnt + "/unrelated"));
        }
        ASSERT_TRUE(sh("xfs_io -x -c shutdown " + mnt));
        ASSERT_TRUE(sh("umount " + mnt));
        // Only a device no file system holds any more opens exclusively: the
        // mount below then reads what the disk kept.
        const int held = ::open(device.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
        ASSERT_GE(held, 0) << device
                           << " is still in use after its unmount: " << std::strerror(errno);
        ::close(held);
        ASSERT_TRUE(sh("mount " + options_ + device + " " + mnt));
        sh("rm -f " + mnt + "/unrelated");
    }

    scratch_folder dir;
    const std::string mnt = dir / "mnt";
    std::string device;
    std::string why_not;  // empty when mounted

private:
    std::string options_;
    bool mounted_ = false;
};

TEST(CrashAsRoot, RunThatSucceededLeavesTheNewBytesOnTheDisk)
{
    const machine_lock loops("loop");  // losetup -f picks from one pool
    if (!sh("command -v xfs_io > /dev/null")) {
        GTEST_SKIP() << "xfs_io (xfsprogs) is not installed";
    }
    const struct {
        std::string mkfs;
        std::string options;
    } file_systems[] = {
        {"mkfs.xfs -q", ""},
        {"mkfs.ext4 -q", ""},
        {"mkfs.ext4 -q", "noauto_da_alloc"},
    };
    const struct {
        std::string how;
        std::string source;
        std::string target;
        bool after_an_fsync;  // another program forced the journal before the crash
    } cases[] = {
        {"replace", "in", "out", true},
        {"in place", "out", "out", true},
        {"new", "in", "new", true},
        {"new, nothing else flushed", "in", "new", false},
        // Standard output open on a file, written directly.
        {"through a descriptor", "in", "/dev/stdout", true},
    };
    // Over 1 MiB, where the run prepares a long copy.
    const std::string data = sample_bytes(4 << 20, 11);
    const scratch_folder reference;
    write_file(reference / "in", data);
    ASSERT_EQ(run_zodevir({reference / "in", reference / "out", "pw", "encode"}).exit_code, 0);
    const std::string encoded = read_file(reference / "out");

    for (const auto& fs : file_systems) {
        const scratch_folder images;
        loop_file_system disk(fs.mkfs, fs.options, images.path);
        if (!disk.why_not.empty()) {
            GTEST_SKIP() << disk.why_not;
        }
        for (const auto& c : cases) {
            SCOPED_TRACE(fs.mkfs + " " + fs.options + ", " + c.how);
            const std::string where = fs.mkfs + " " + fs.options + ", " + c.how;
            sh("rm -rf " + disk.mnt + "/*");
            write_file(disk.mnt + "/in", data);
            write_file(disk.mnt + "/out", c.source == "out" ? data : old_bytes);
            EXPECT_TRUE(sh("sync"));
            const std::string source = disk.mnt + "/" + c.source;
            const bool direct = c.target == "/dev/stdout";
            const std::string target = disk.mnt + (direct ? "/out" : "/" + c.target);
            const std::string run = direct
                                        ? source + " /dev/stdout pw encode 2>/dev/null >" + target
                                        : source + " " + target + " pw encode >/dev/null";
            EXPECT_TRUE(sh("'" ZODEVIR_BINARY "' " + run)) << where;
            disk.crash(c.after_an_fsync);
            const std::string got = read_file(target);
            // What came back, should it not be the output: the old bytes, the
            // source's, or how much of the output.
            std::size_t same = 0;
            while (same < got.size() && same < encoded.size() && got[same] == encoded[same]) {
                ++same;
            }
            EXPECT_TRUE(got == encoded)
                << where << ": " << got.size() << " bytes, the first " << same << " right"
                << (got == old_bytes ? ", the old ones"
                    : got == data    ? ", the source's"
                                     : "");
            EXPECT_EQ(temporary_in(disk.mnt), "") << where;
        }
    }
}

TEST(CrashAsRoot, WriteBackFailureIsAFailedWrite)
{
    const machine_lock loops("loop");  // losetup -f picks from one pool
    // Thin storage: the file system's image lies on a tmpfs too small for it,
    // so blocks that were never written before fail when written back.
    if (!sh("command -v mkfs.ext4 > /dev/null")) {
        GTEST_SKIP() << "mkfs.ext4 is not installed";
    }
    const scratch_folder thin;
    if (const std::string why = failure_of("mount -t tmpfs -o size=20m tmpfs " + thin.path);
        !why.empty()) {
        GTEST_SKIP() << "cannot mount a tmpfs: " << why;
    }
    {
        loop_file_system disk("mkfs.ext4 -q", "", thin.path, "64M");
        if (!disk.why_not.empty()) {
            sh("umount " + thin.path);
            GTEST_SKIP() << disk.why_not;
        }
        const std::string data = sample_bytes(8 << 20, 12);
        write_file(disk.mnt + "/out", data);
        ASSERT_TRUE(sh("sync && cat /dev/zero > " + thin.path + "/filler 2> /dev/null; true"));
        const std::string out = disk.mnt + "/out";
        const run_result r = run_zodevir({out, out, "pw", "encode"});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.out, "encoding...Error:Cannot write the destiny file:" + out);
        EXPECT_TRUE(read_file(out) == data);
        EXPECT_EQ(folder_entries(disk.mnt), (strings{"lost+found", "out"}));
    }
    sh("umount " + thin.path);
}

}  // namespace
