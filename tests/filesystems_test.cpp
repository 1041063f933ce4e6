// SPDX-License-Identifier: MIT
// Cases on file systems that behave unlike a plain local disk: a nearly full
// Btrfs, overlayfs, FUSE file systems that hide holes or fail on one side
// (block devices: block_devices_test.cpp). Each needs root and mounts its own.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "harness.h"

namespace {

using FileSystems = ToolTest;

constexpr std::size_t MIB = std::size_t{1024} * 1024;

std::int64_t blocks_of(const std::string& file)
{
    struct stat info;
    return stat(file.c_str(), &info) == 0 ? static_cast<std::int64_t>(info.st_blocks) : -1;
}

// Leaves about free bytes of room on the file system at mnt.
void fill_to(const std::string& mnt, long long free)
{
    shell("sync && avail=$(df -B1 --output=avail " + mnt +
          " | tail -1) && fallocate -l $((avail - " + std::to_string(free) + ")) " + mnt +
          "/fill && sync");
}

TEST_F(FileSystems, RewriteThatRunsOutOfSpaceStartsOverAsANewFile)
{
    SKIP_UNLESS_POSIX_TOOL();
    std::string insert = pattern(32768, 1);
    write_file(path("IP.BIN"), insert);
    std::string why;
    std::string mnt = mount_btrfs(&why);
    if (mnt.empty())
        GTEST_SKIP() << why;
    // Copy on write needs new extents while the old ones are held: 64 MiB
    // rewritten with 40 MiB free, from another file system so nothing is shared.
    std::string big_first = pattern(64 * MIB, 4);
    std::string big_second = pattern(64 * MIB, 5);
    write_file(path("first"), big_first);
    write_file(path("second"), big_second);
    ASSERT_EQ(run({"first", mnt + "/dst"}).status, 0);
    fill_to(mnt, 40 * static_cast<long long>(MIB));
    tool_run r = run({"second", mnt + "/dst"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(read_file(mnt + "/dst") == expected_output(big_second, insert));
}

TEST_F(FileSystems, OverlayDestinationOnlyInTheLowerLayerIsNotCopiedUp)
{
    SKIP_UNLESS_POSIX_TOOL();
    SKIP_UNLESS_LINUX_CALLS("the overlay-aware open");
    std::string insert = pattern(32768, 1);
    std::string source = pattern(2 * MIB + 5, 2);
    mkdir(path("lower").c_str(), 0755);
    write_file(path("lower/IP.BIN"), insert);
    write_file(path("lower/src"), source);
    write_file(path("lower/dst"), pattern(8 * MIB, 3));
    std::string why;
    // Too small for the old destination, large enough for the new one.
    std::string mnt = mount_overlay("4M", &why);
    if (mnt.empty())
        GTEST_SKIP() << why;

    struct refusal {
        const char* source;
        const char* destination;
        const char* same_as;
    };
    for (const refusal& c : {refusal{"src", "src", "src"}, refusal{"src", "IP.BIN", "IP.BIN"}}) {
        tool_run r = run_tool(mnt, {c.source, c.destination});
        EXPECT_EQ(r.out, same_file_refusal(r.name, c.destination, c.same_as));
        EXPECT_EQ(r.status, 252);
        EXPECT_TRUE(list_dir(path("upper/u")).empty()) << c.destination << " was copied up";
    }

    tool_run r = run_tool(mnt, {"src", "dst"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(read_file(mnt + "/dst") == expected_output(source, insert));
    EXPECT_TRUE(read_file(path("upper/u/dst")) == expected_output(source, insert));
    EXPECT_TRUE(read_file(path("lower/src")) == source);

    // Now in the upper layer, and shorter this time.
    std::string shorter = pattern(MIB, 4);
    write_file(mnt + "/shorter", shorter);
    r = run_tool(mnt, {"shorter", "dst"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(read_file(path("upper/u/dst")) == expected_output(shorter, insert));
}

TEST_F(FileSystems, ZerosBecomeHolesWhereTheFileSystemReportsNone)
{
    SKIP_UNLESS_POSIX_TOOL();
    std::string why;
    std::string mnt = mount_ntfs(&why);
    if (mnt.empty())
        GTEST_SKIP() << why;
    std::string insert = pattern(32768, 1);
    write_file(mnt + "/IP.BIN", insert);
    // Data at the start, in the middle and in a short last block, holes between.
    std::string source(64 * MIB + 100, '\0');
    source.replace(0, MIB, pattern(MIB, 2));
    source.replace(32 * MIB, 65536, pattern(65536, 3));
    source.replace(source.size() - 4196, 4196, pattern(4196, 4));
    write_file(path("plain"), source);
    ASSERT_EQ(shell("cp --sparse=always " + path("plain") + " " + mnt + "/src"), 0);
    ASSERT_LT(blocks_of(mnt + "/src") * 512, static_cast<std::int64_t>(source.size()) / 2)
        << "ntfs-3g kept no hole in the source";

    tool_run r = run_tool(mnt, {"src", "dst"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(read_file(mnt + "/dst") == expected_output(source, insert));
    EXPECT_LE(blocks_of(mnt + "/dst"), blocks_of(mnt + "/src") + 256) << "the holes were filled";
}

TEST_F(FileSystems, ErrorOfEitherSideNamesTheFileThatFailed)
{
    SKIP_UNLESS_POSIX_TOOL();
    std::string why;
    constexpr long long limit = 4 * MIB;
    std::string mnt = mount_failfs(limit, &why);
    if (mnt.empty())
        GTEST_SKIP() << why;
    std::string source = pattern(8 * MIB, 2);
    write_file(mnt + "/IP.BIN", pattern(32768, 1));
    write_file(mnt + "/src", source);
    write_file(path("failfs-backing/unreadable-src"), source);
    struct side {
        const char* source;
        const char* destination;
        std::string message;
        int status;
    };
    for (const side& c : {side{"src", "unwritable-dst", "ecrire unwritable-dst", 249},
                          side{"unreadable-src", "dst", "lire unreadable-src", 250}}) {
        tool_run r = run_tool(mnt, {c.source, c.destination});
        EXPECT_EQ(r.out, r.name + ": Je ne peux pas " + c.message + "\n");
        EXPECT_EQ(r.status, c.status);
        EXPECT_LT(read_file(mnt + "/" + c.destination).size(), source.size()) << c.destination;
    }
}

// An overlay file's bytes are those of the file in the topmost layer that has
// it: that file, named by its own path, is the same file. Linux shows the
// layers as they were given: all at once, or one at a time.
class OverlayLayers : public ToolTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(OverlayLayers, FileUnderAnOverlayFileIsTheSameFile)
{
    SKIP_UNLESS_POSIX_TOOL();
    SKIP_UNLESS_LINUX_CALLS("the overlay's layers, told by /proc");
    std::string insert = pattern(32768, 1);
    std::string source = pattern(MIB, 2);
    std::string upper = pattern(MIB, 3);
    mkdir(path("lower").c_str(), 0755);
    write_file(path("lower/IP.BIN"), insert);
    write_file(path("lower/src"), source);
    std::string why;
    std::string mnt = mount_overlay("16M", &why, GetParam());
    if (mnt.empty())
        GTEST_SKIP() << why;
    write_file(mnt + "/up", upper);
    struct layer_case {
        std::string source;
        std::string destination; // through the overlay when relative
        std::string same_as;     // "" when DEST is another file, written
    };
    const layer_case cases[] = {{"src", path("lower/src"), "src"},
                                {"src", path("lower/IP.BIN"), "IP.BIN"},
                                {"up", path("upper/u/up"), "up"},
                                {path("upper/u/up"), "up", path("upper/u/up")},
                                {path("lower/src"), "src", ""}};
    for (const layer_case& c : cases) {
        SCOPED_TRACE(c.source + " into " + c.destination);
        tool_run r = run_tool(mnt, {c.source, c.destination});
        if (c.same_as.empty()) {
            EXPECT_EQ(r.status, 0) << r.out;
            EXPECT_TRUE(read_file(mnt + "/" + c.destination) == expected_output(source, insert));
        } else {
            EXPECT_EQ(r.out, same_file_refusal(r.name, c.destination, c.same_as));
            EXPECT_EQ(r.status, 252);
        }
        EXPECT_TRUE(read_file(path("lower/src")) == source);
        EXPECT_TRUE(read_file(path("lower/IP.BIN")) == insert);
        EXPECT_TRUE(read_file(path("upper/u/up")) == upper);
    }
}

INSTANTIATE_TEST_SUITE_P(Given, OverlayLayers, ::testing::Values("lowerdir=", "lowerdir+="),
                         [](const ::testing::TestParamInfo<const char*>& option) {
                             return std::string(option.param[8] == '+' ? "OneAtATime"
                                                                       : "AllAtOnce");
                         });

} // namespace
