// The destination's life cycle, driven directly rather than through a run.
#include "platform.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "file_io.h"
#include "support.h"

namespace {

struct stat stat_of(const std::string& path)
{
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st;
}

TEST(Destination, SpaceReservedBeyondWhatWasWrittenIsGivenBack)
{
    const scratch_folder dir;
    write_file(dir / "in", "source");
    destination dest;
    source_file source;
    ASSERT_TRUE(open_source((dir / "in").c_str(), source));
    ASSERT_TRUE(open_destination((dir / "out").c_str(), source, dest));
    prepare_copy(source, dest, 8 << 20);
    ASSERT_TRUE(write_all(dest.fd.get(), "ten bytes!", 10));
    ASSERT_TRUE(commit_destination(dest, 10));

    const struct stat st = stat_of(dir / "out");
    EXPECT_EQ(st.st_size, 10);
    EXPECT_LT(st.st_blocks * 512, 1 << 20) << "reserved blocks were kept";
    EXPECT_EQ(read_file(dir / "out"), "ten bytes!");
}

TEST(Destination, DiscardLeavesTheOldFileAndNoTemporary)
{
    const scratch_folder dir;
    write_file(dir / "in", "source");
    write_file(dir / "out", "old");
    destination dest;
    source_file source;
    ASSERT_TRUE(open_source((dir / "in").c_str(), source));
    ASSERT_TRUE(open_destination((dir / "out").c_str(), source, dest));
    ASSERT_NE(dest.temporary[0], '\0');
    ASSERT_TRUE(write_all(dest.fd.get(), "partial", 7));
    discard_destination(dest);
    EXPECT_EQ(read_file(dir / "out"), "old");
    EXPECT_EQ(folder_entries(dir.path), (std::vector<std::string>{"in", "out"}));
}

}  // namespace
