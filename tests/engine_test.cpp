// SPDX-License-Identifier: MIT
// How the destination is written: holes kept, an old destination rewritten in
// place with none of its bytes left, and inputs safe from a swapped name.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>
#include <utility>

#include "harness.h"

namespace {

using Holes = ToolTest;
using InPlace = ToolTest;
using SameFileRace = ToolTest;

const long long KIB = 1024;
const long long MIB = 1024 * KIB;

struct layout {
    const char* name;
    long long length;
    std::vector<std::pair<long long, long long>> data;       // offset, size
    std::vector<std::pair<long long, long long>> fallocated; // offset, size
};

std::vector<layout> layouts()
{
    layout many = {"many small stretches", 300 * 32 * KIB + 77, {}, {}};
    for (long long i = 0; i < 300; ++i)
        many.data.emplace_back(i * 32 * KIB + 4 * KIB, 4 * KIB);
    return {
        {"hole at the start and the end", 3 * MIB + 123, {{MIB, 100 * KIB}}, {}},
        {"hole in the middle", 2 * MIB + 50 * KIB, {{0, 200 * KIB}, {2 * MIB, 50 * KIB}}, {}},
        {"all hole", 5 * MIB + 1, {}, {}},
        {"dense", 700 * KIB + 3, {{0, 700 * KIB + 3}}, {}},
        many,
        {"unwritten stretch", 2 * MIB, {{MIB, 4 * KIB}}, {{64 * KIB, MIB - 64 * KIB}}},
    };
}

// Writes the layout as a sparse file and returns its bytes as a reader sees them.
std::string make_sparse(const std::string& file, const layout& l, unsigned salt)
{
    std::string bytes(static_cast<std::size_t>(l.length), '\0');
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(ftruncate(fd, l.length), 0);
    for (const auto& [offset, size] : l.fallocated)
        EXPECT_EQ(fallocate(fd, 0, offset, size), 0);
    for (const auto& [offset, size] : l.data) {
        std::string data = pattern(static_cast<std::size_t>(size), salt++);
        EXPECT_EQ(pwrite(fd, data.data(), data.size(), offset), static_cast<ssize_t>(size));
        bytes.replace(static_cast<std::size_t>(offset), data.size(), data);
    }
    close(fd);
    return bytes;
}

long long allocated(const std::string& file)
{
    struct stat info;
    return stat(file.c_str(), &info) == 0 ? static_cast<long long>(info.st_blocks) * 512 : -1;
}

ino_t inode(const std::string& file)
{
    struct stat info;
    return stat(file.c_str(), &info) == 0 ? info.st_ino : 0;
}

// Each layout in place, over the previous layout's output: the exact bytes,
// and no more blocks than the source holds beyond the rewritten head.
void check_layouts(const std::string& place)
{
    std::string insert = pattern(32768, 1);
    write_file(place + "/IP.BIN", insert);
    unsigned salt = 2;
    for (const layout& l : layouts()) {
        SCOPED_TRACE(place + ": " + l.name);
        std::string source = make_sparse(place + "/src", l, salt);
        salt += 1000;
        tool_run r = run_tool(place, {"src", "dst"});
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(read_file(place + "/dst") == expected_output(source, insert));
        if (!tool_on_windows()) {
            EXPECT_LE(allocated(place + "/dst"), allocated(place + "/src") + 128 * KIB);
        }
    }
}

// One test per file system, so that one that cannot be had here skips
// before anything is checked.
TEST_F(Holes, KeptAtTheSamePlacesOnTheTestDirectorysFileSystem)
{
    check_layouts(dir);
}

TEST_F(Holes, KeptAtTheSamePlacesOnTmpfs)
{
    // Windows copies holes as zeros: the bytes, checked on the test's own
    // file system, are what counts there.
    if (tool_on_windows())
        GTEST_SKIP() << "a Windows tool writes no holes";
    std::string shm = "/dev/shm/talvor-test-" + std::to_string(getpid());
    if (mkdir(shm.c_str(), 0700) != 0)
        GTEST_SKIP() << "no directory can be made in /dev/shm";
    check_layouts(shm);
    std::error_code ignored;
    std::filesystem::remove_all(shm, ignored);
}

TEST_F(Holes, KeptAtTheSamePlacesOnXfs)
{
    if (tool_on_windows())
        GTEST_SKIP() << "a Windows tool writes no holes";
    // Buffered writes over XFS's speculative preallocation keep blocks that
    // the kernel copy, sharing the source's, does not.
    SKIP_UNLESS_LINUX_CALLS("the kernel copy on XFS");
    std::string why;
    std::string xfs = mount_xfs(&why);
    if (xfs.empty())
        GTEST_SKIP() << why;
    check_layouts(xfs);
}

TEST_F(InPlace, OldDestinationKeepsNoneOfItsBytes)
{
    std::string insert = pattern(1000, 1);
    write_file(path("IP.BIN"), insert);
    layout l = {"holes", 2 * MIB, {{256 * KIB, 256 * KIB}, {MIB, 4 * KIB}}, {}};
    std::string source = make_sparse(path("src"), l, 2);
    std::string expected = expected_output(source, insert);
    for (long long old_size : {3 * MIB, 100 * KIB}) {
        write_file(path("dst"), std::string(static_cast<std::size_t>(old_size), '\xAA'));
        ino_t before = inode(path("dst"));
        tool_run r = run({"src", "dst"});
        EXPECT_EQ(r.status, 0) << old_size;
        EXPECT_TRUE(read_file(path("dst")) == expected) << old_size;
        if (tool_on_windows())
            continue;
        EXPECT_EQ(inode(path("dst")), before) << "not rewritten in place";
        EXPECT_LE(allocated(path("dst")), allocated(path("src")) + 128 * KIB) << old_size;
    }
    if (tool_on_windows())
        return;
    // A pipe has no holes and no length: the old tail is cut all the same.
    write_file(path("dst"), std::string(3 * MIB, '\xAA'));
    run_options piped;
    piped.input = &source;
    EXPECT_EQ(run({"/dev/stdin", "dst"}, piped).status, 0);
    EXPECT_TRUE(read_file(path("dst")) == expected);
}

TEST_F(InPlace, FailedRunLeavesNoOldByteAndNothingThatLooksDone)
{
    SKIP_UNLESS_STRACE();
    SKIP_UNLESS_LINUX_CALLS("the kernel copy, where the fault is injected");
    write_file(path("IP.BIN"), pattern(32768, 1));
    layout l = {"two stretches", 3 * MIB, {{0, MIB}, {2 * MIB, MIB}}, {}};
    std::string source = make_sparse(path("src"), l, 2);
    const std::string old(5 * MIB, '\xAA');

    // The disk fills up while the second stretch is copied, and stays full.
    write_file(path("dst"), old);
    tool_run r = run({"src", "dst"}, under_strace("copy_file_range:error=ENOSPC:when=2+"));
    EXPECT_EQ(r.out, r.name + ": Je ne peux pas ecrire dst\n");
    EXPECT_EQ(r.status, 249);
    std::string left = read_file(path("dst"));
    EXPECT_LT(left.size(), source.size());
    EXPECT_TRUE(left == unsealed_output(source, pattern(32768, 1)).substr(0, left.size()));

    // The body is whole and only the head fails: nothing may remain.
    write_file(path("dst"), old);
    r = run({"src", "dst"}, under_strace("write:error=EIO:when=1"));
    EXPECT_EQ(r.status, 249);
    EXPECT_EQ(read_file(path("dst")), "");

    // A pipe whose copy fails part way is cut where its last whole write ended.
    write_file(path("dst"), old);
    run_options piped = under_strace("write:error=ENOSPC:when=3");
    piped.input = &source;
    r = run({"/dev/stdin", "dst"}, piped);
    EXPECT_EQ(r.status, 249);
    left = read_file(path("dst"));
    EXPECT_LT(left.size(), source.size());
    EXPECT_TRUE(left == unsealed_output(source, pattern(32768, 1)).substr(0, left.size()));
}

// Rewriting in place needs room for new blocks while the old ones are held,
// on copy-on-write file systems: out of room, the tool starts over once on
// an emptied DEST, which frees them, and only then gives up.
TEST_F(InPlace, OutOfSpaceStartsOverOnAnEmptiedDestination)
{
    SKIP_UNLESS_STRACE();
    SKIP_UNLESS_LINUX_CALLS("the kernel copy, where the fault is injected");
    std::string insert = pattern(32768, 1);
    write_file(path("IP.BIN"), insert);
    layout l = {"two stretches", 3 * MIB, {{0, MIB}, {2 * MIB, MIB}}, {}};
    std::string source = make_sparse(path("src"), l, 2);
    struct retry_case {
        const char* what;
        bool old;
        const char* error;
        int status;
    } cases[] = {
        {"disk full once, over an old DEST", true, "ENOSPC", 0},
        {"quota once, over an old DEST", true, "EDQUOT", 0},
        {"disk full, new DEST: nothing to free", false, "ENOSPC", 249},
    };
    for (const retry_case& c : cases) {
        SCOPED_TRACE(c.what);
        unlink(path("dst").c_str());
        if (c.old)
            write_file(path("dst"), std::string(5 * MIB, '\xAA'));
        tool_run r = run({"src", "dst"},
                         under_strace(std::string("copy_file_range:error=") + c.error + ":when=2"));
        EXPECT_EQ(r.status, c.status);
        std::string left = read_file(path("dst"));
        if (c.status == 0)
            EXPECT_TRUE(left == expected_output(source, insert));
        else
            EXPECT_TRUE(left == unsealed_output(source, insert).substr(0, left.size()));
    }
}

TEST_F(SameFileRace, InputLinkedInAfterAnyNameCheckIsRefusedUntouched)
{
    SKIP_UNLESS_POSIX_TOOL();
    std::string shim = shim_path("swap_on_open");
    if (shim.empty())
        GTEST_SKIP() << "no swapping shim was built for the tool under test";
    std::string insert = pattern(32768, 1);
    std::string source = pattern(200000, 2);
    write_file(path("IP.BIN"), insert);
    write_file(path("src"), source);
    for (const char* input : {"src", "IP.BIN"}) {
        run_options swap =
            preloading(shim, {"TALVOR_SWAP_PATH=dst", std::string("TALVOR_SWAP_TARGET=") + input});
        tool_run r = run({"src", "dst"}, swap);
        EXPECT_EQ(r.out, r.name + ": dst et " + input + " sont le meme fichier\n");
        EXPECT_EQ(r.status, 252);
        EXPECT_TRUE(read_file(path("src")) == source);
        EXPECT_TRUE(read_file(path("IP.BIN")) == insert);
        unlink(path("dst").c_str());
    }
}

} // namespace
