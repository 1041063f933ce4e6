// SPDX-License-Identifier: MIT
// Runs take their turns on the files under the files they name too: the
// file of a loop device, the layer file of an overlay file. The test holds
// the turn on the file under as another run would, and sees the run wait
// in its lock call, or go on where both only read; then lets go, and the
// run ends whole.
#include <unistd.h>

#include <iterator>

#include "held_runs.h"
#include "stacks_harness.h"

namespace {

using UnderTurns = StackTest;

// How the test holds the file under, and how the run uses the file over it.
struct under_row {
    const char* what;
    bool held_alone; // held as by a run writing it, else as by one reading it
    bool onto;       // the run writes the file over it (DEST), else reads it
    bool waits;
};
constexpr under_row ROWS[] = {
    {"written while a run writes over it", true, true, true},
    {"read while a run writes over it", false, true, true},
    {"written while a run reads over it", true, false, true},
    {"read while a run reads over it", false, false, false},
};

// A stack to run on: the file the run names, and the file under it.
struct stack_files {
    std::string over;
    std::string under;
    bool device; // over is a block device: it keeps its bytes past SOURCE's
};

// Runs SOURCE into over, or over into out, beside the turn the test holds
// on the file under; checks the wait, the status and what was written.
void run_beside_held_turn(const std::string& dir, const under_row& row, const stack_files& s)
{
    SCOPED_TRACE(std::string(row.what) + ": " + s.over);
    std::string insert = pattern(32768, 1);
    std::string source = pattern(2 * MIB + 3, 2);
    write_file(dir + "/IP.BIN", insert);
    write_file(dir + "/src", source);
    std::string old = read_file(s.under);
    int held = take_turn(s.under, row.held_alone);
    ASSERT_GE(held, 0) << "the test could not take the turn on " << s.under;
    std::vector<std::string> args = {"src", s.over};
    if (!row.onto)
        args = {s.over, "out"};
    started_tool run = start_tool(dir, args);
    if (row.waits) {
        EXPECT_TRUE(wait_until([&] { return waiting_for_turn(s.under) > 0; }))
            << "the run never waited for its turn on " << s.under;
        close(held);
    }
    bool timed_out = false;
    tool_run r = finish_tool(run, RUN_TIMEOUT_MS, &timed_out);
    if (!row.waits)
        close(held);
    EXPECT_FALSE(timed_out) << "the run waited while only reads were held";
    EXPECT_EQ(r.status, 0) << r.out;
    if (row.onto) {
        std::string kept = s.device ? old.substr(source.size()) : "";
        EXPECT_TRUE(read_file(s.under) == expected_output(source, insert) + kept);
    } else {
        EXPECT_TRUE(read_file(dir + "/out") == expected_output(old, insert));
    }
}

TEST_F(UnderTurns, RunsMeetOnTheFileUnderALoopDevice)
{
    SKIP_UNLESS_POSIX_TOOL();
    SKIP_UNLESS_LINUX_CALLS("a walk to the files under a loop device or an overlay file");
    SKIP_UNLESS_ROOT();
    for (std::size_t i = 0; i < std::size(ROWS); ++i) {
        // A fresh image and device each time: no device cache outlives a row.
        std::string image = path("img" + std::to_string(i));
        write_file(image, pattern(4 * MIB, static_cast<unsigned>(i + 3)));
        std::string why;
        std::string device = attach_loop(image, &why);
        if (device.empty())
            GTEST_SKIP() << why;
        run_beside_held_turn(dir, ROWS[i], {device, image, true});
    }
}

TEST_F(UnderTurns, RunsMeetOnTheLayerFileUnderAnOverlayFile)
{
    SKIP_UNLESS_POSIX_TOOL();
    SKIP_UNLESS_LINUX_CALLS("a walk to the files under a loop device or an overlay file");
    SKIP_UNLESS_ROOT();
    std::string why;
    std::string merged = mount_overlay("64M", &why);
    if (merged.empty())
        GTEST_SKIP() << why;
    for (std::size_t i = 0; i < std::size(ROWS); ++i) {
        // Made through the overlay: the file lies in its upper layer.
        std::string name = "/a" + std::to_string(i);
        write_file(merged + name, pattern(3 * MIB + 1, static_cast<unsigned>(i + 3)));
        run_beside_held_turn(dir, ROWS[i], {merged + name, path("upper/u") + name, false});
    }
}

// One image read through one device and written through another, at
// stretches apart: the run meets its image twice, and must not wait for
// itself.
TEST_F(UnderTurns, AFileReachedTwiceUnderOneRunIsTurnedOnOnce)
{
    SKIP_UNLESS_POSIX_TOOL();
    SKIP_UNLESS_LINUX_CALLS("a walk to the files under a loop device or an overlay file");
    SKIP_UNLESS_ROOT();
    std::string insert = pattern(32768, 1);
    std::string image = pattern(4 * MIB, 2);
    write_file(path("IP.BIN"), insert);
    write_file(path("img"), image);
    std::string why;
    std::string whole = attach_loop(path("img"), &why);
    std::string first = whole.empty() ? "" : add_partition(whole, 0, MIB, &why);
    std::string rest = first.empty() ? "" : attach_loop(path("img"), &why, MIB);
    if (rest.empty())
        GTEST_SKIP() << why;
    started_tool run = start_tool(dir, {first, rest});
    bool timed_out = false;
    tool_run r = finish_tool(run, RUN_TIMEOUT_MS, &timed_out);
    EXPECT_FALSE(timed_out) << "the run waited for its own turn";
    EXPECT_EQ(r.status, 0) << r.out;
    std::string head = image.substr(0, MIB);
    EXPECT_TRUE(read_file(path("img")) ==
                head + expected_output(head, insert) + image.substr(2 * MIB));
}

} // namespace
