// The destination's life cycle, driven directly rather than through a run.
#include "platform.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support.h"

namespace {

TEST(Destination, AnUncommittedDestinationLeavesTheOldFileAndNoTemporary)
{
    const scratch_folder dir;
    write_file(dir / "in", "source");
    write_file(dir / "out", "old");
    {
        destination dest;
        source_file source;
        ASSERT_TRUE(open_source((dir / "in").c_str(), source));
        ASSERT_TRUE(open_destination((dir / "out").c_str(), source, dest));
        ASSERT_NE(dest.temporary[0], '\0');
        ASSERT_TRUE(write_destination(dest, "partial", 7));
    }
    EXPECT_EQ(read_file(dir / "out"), "old");
    EXPECT_EQ(folder_entries(dir.path), (std::vector<std::string>{"in", "out"}));
}

}  // namespace
