// SPDX-License-Identifier: MIT
// Files side by side on one disk are apart, and so is a DEST whose storage
// cannot be followed but that is new, or reads otherwise than the inputs:
// the run writes DEST whole and leaves the inputs as they were. A DEST that
// shows SOURCE at another offset, which no reading at the same offsets can
// tell, is written no further than SOURCE's measured length.
#include <sys/stat.h>
#include <unistd.h>

#include <ostream>

#include "stacks_harness.h"

namespace {

// SOURCE's length: not a whole number of blocks, nor of pieces read.
constexpr std::size_t SOURCE_SIZE = 2 * MIB + 7;

// Names from the test's directory, DEST's old bytes ("" for none), and a
// mounted image to find clean at the end ("" for none).
struct apart_paths {
    std::string source;
    std::string destination;
    std::string old;
    std::string mnt;
    std::string image;
};

apart_paths apart(const std::string& source, const std::string& destination,
                  const std::string& old = "")
{
    apart_paths p;
    p.source = source;
    p.destination = destination;
    p.old = old;
    return p;
}

class ApartRows : public StackTest {
  public:
    bool new_dest_in_the_source_image(apart_paths& p, std::string* why)
    {
        p = apart("mnt/src", "mnt/dst");
        p.mnt = path("mnt");
        p.image = path("game.img");
        return make_ext4("game.img", "16M", why) && mount_image("game.img", "mnt", why);
    }
    bool old_dest_in_the_source_image(apart_paths& p, std::string* why)
    {
        bool built = new_dest_in_the_source_image(p, why);
        p.old = pattern(3 * MIB, 3);
        return built;
    }
    // A loop device whose file lies beside SOURCE, on the same file system.
    bool loop_device_beside_the_source(apart_paths& p, std::string* why)
    {
        p = apart("src", "", pattern(4 * MIB, 3));
        write_file(path("disk"), p.old);
        p.destination = attach_loop(path("disk"), why);
        return !p.destination.empty();
    }
    bool new_dest_on_fuse(apart_paths& p, std::string* why)
    {
        p = apart("src", "failfs/dst");
        return !mount_failfs(1LL << 40, why).empty();
    }
    // Not followed, but of another length than either input.
    bool old_dest_on_fuse(apart_paths& p, std::string* why)
    {
        bool built = new_dest_on_fuse(p, why);
        p.old = pattern(MIB + 5, 3);
        return built;
    }
    // Not followed, of SOURCE's length, and told apart by reading: by its
    // first bytes, or by its last one alone.
    bool old_dest_on_fuse_of_the_sources_length(apart_paths& p, std::string* why)
    {
        bool built = new_dest_on_fuse(p, why);
        p.old = pattern(SOURCE_SIZE, 3);
        return built;
    }
    bool old_dest_on_fuse_unlike_the_source_in_its_last_byte(apart_paths& p, std::string* why)
    {
        bool built = new_dest_on_fuse(p, why);
        p.old = pattern(SOURCE_SIZE, 2);
        p.old.back() = static_cast<char>(~p.old.back());
        return built;
    }
};

struct apart_row {
    const char* name;
    bool (ApartRows::*build)(apart_paths&, std::string*);
};

void PrintTo(const apart_row& row, std::ostream* out)
{
    *out << row.name;
}

class Apart : public ApartRows, public ::testing::WithParamInterface<apart_row> {};

TEST_P(Apart, DestIsWrittenAndTheInputsKeptWhole)
{
    SKIP_UNLESS_POSIX_TOOL();
    SKIP_UNLESS_ROOT();
    std::string why;
    apart_paths p;
    if (!(this->*GetParam().build)(p, &why))
        GTEST_SKIP() << why;
    std::string insert = pattern(32768, 1);
    std::string source = pattern(SOURCE_SIZE, 2);
    write_file(path("IP.BIN"), insert);
    write_file(path(p.source), source);
    std::string dest = p.destination[0] == '/' ? p.destination : path(p.destination);
    if (!p.old.empty() && p.destination[0] != '/')
        write_file(dest, p.old);
    tool_run r = run_tool_with(dir, {p.source, p.destination}, {}, RUN_TIMEOUT_MS);
    EXPECT_EQ(r.out, success_report(r.name));
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(read_file(path(p.source)) == source) << "SOURCE was changed";
    EXPECT_TRUE(read_file(path("IP.BIN")) == insert) << "IP.BIN was changed";
    std::string expected = expected_output(source, insert);
    // A device keeps its old bytes past SOURCE's length.
    if (p.destination[0] == '/')
        expected += p.old.substr(expected.size());
    EXPECT_TRUE(read_file(dest) == expected) << "DEST is not SOURCE with IP.BIN's head";
    if (p.mnt.empty())
        return;
    ASSERT_TRUE(unmount_now(p.mnt));
    std::string log = path("fsck.log");
    EXPECT_EQ(shell("e2fsck -fn " + p.image + " >" + log + " 2>&1"), 0) << read_file(log);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Apart,
    ::testing::Values(
        apart_row{"NewDestInTheSourcesFileSystem", &ApartRows::new_dest_in_the_source_image},
        apart_row{"OldDestInTheSourcesFileSystem", &ApartRows::old_dest_in_the_source_image},
        apart_row{"LoopDeviceBesideTheSource", &ApartRows::loop_device_beside_the_source},
        apart_row{"NewDestOnFuse", &ApartRows::new_dest_on_fuse},
        apart_row{"OldDestOnFuseThatReadsOtherwise", &ApartRows::old_dest_on_fuse},
        apart_row{"OldDestOnFuseOfTheSourcesLength",
                  &ApartRows::old_dest_on_fuse_of_the_sources_length},
        apart_row{"OldDestOnFuseUnlikeTheSourceInItsLastByte",
                  &ApartRows::old_dest_on_fuse_unlike_the_source_in_its_last_byte}),
    [](const ::testing::TestParamInfo<apart_row>& row) { return std::string(row.param.name); });

using OffsetView = StackTest;

// DEST shows SOURCE from LIMIT bytes on: reading at the same offsets tells
// them apart, and the run writes SOURCE's bytes there. It reads SOURCE no
// further than its measured length, so that what it writes lands in
// SOURCE once, not again and again: SOURCE ends LIMIT past its length.
TEST_F(OffsetView, DestShowingTheSourceAtAnOffsetIsWrittenOnlyToTheSourcesLength)
{
    SKIP_UNLESS_POSIX_TOOL();
    SKIP_UNLESS_ROOT();
    constexpr long long LIMIT = MIB;
    constexpr std::size_t LENGTH = 4 * MIB;
    std::string why;
    // Room for a few times SOURCE, so that a run without bound ends soon.
    if (mount_tmpfs("failfs-backing", "32M", &why).empty() || mount_failfs(LIMIT, &why).empty())
        GTEST_SKIP() << why;
    write_file(path("IP.BIN"), pattern(32768, 1));
    write_file(path("failfs-backing/src"), pattern(LENGTH, 2));
    tool_run r =
        run_tool_with(dir, {"failfs-backing/src", "failfs/shifted-src"}, {}, RUN_TIMEOUT_MS);
    EXPECT_EQ(r.out, success_report(r.name));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(path("failfs-backing/src")).size(), LENGTH + LIMIT)
        << "SOURCE was read past its length";
}

} // namespace
