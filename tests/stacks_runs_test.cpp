// SPDX-License-Identifier: MIT
// Runs that meet the world around them and keep their inputs whole: a
// source cut short, a kill at any write, another user, a report nobody
// reads, a FIFO whose reader leaves. (Standard output opened on an input:
// routing_test.cpp.)
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "stacks_harness.h"

namespace {

using Stacks = StackTest;

// The source cut short by another program once the copy is under way: DEST
// ends where the source now does.
TEST_F(Stacks, SourceCutShortWhileReadEndsDestThere)
{
    SKIP_UNLESS_POSIX_TOOL();
    std::string shim = shim_path("cut_source");
    if (shim.empty())
        GTEST_SKIP() << "no cutting shim was built for the tool under test";
    constexpr std::size_t LENGTH = 4 * MIB;
    constexpr std::size_t CUT = 2 * MIB;
    std::string insert = pattern(32768, 1);
    write_file(path("IP.BIN"), insert);
    for (bool sparse : {true, false}) {
        SCOPED_TRACE(sparse ? "sparse" : "dense");
        std::string source = pattern(LENGTH, 2);
        if (sparse)
            std::fill(source.begin() + MIB, source.begin() + 3 * MIB, '\0');
        (sparse ? write_sparse : write_file)(path("src"), source);
        unlink(path("dst").c_str());
        child_io cut = {-1, false,
                        preloading(shim, {"TALVOR_CUT_FILE=" + path("src"),
                                          "TALVOR_CUT_LENGTH=" + std::to_string(CUT)})
                            .env};
        started_tool run = start_tool(dir, {"src", "dst"}, cut);
        bool timed_out = false;
        tool_run r = finish_tool(run, EACH_RUN_TIMEOUT_MS, &timed_out);
        ASSERT_FALSE(timed_out) << "the run never ended";
        ASSERT_EQ(read_file(path("src")).size(), CUT) << "the source was never cut";
        EXPECT_EQ(r.status, 0) << r.out;
        std::string left = read_file(path("dst"));
        EXPECT_EQ(left.size(), CUT);
        EXPECT_TRUE(left == expected_output(source.substr(0, CUT), insert));
    }
}

// Only the head's first 4096 bytes are written, and they are zeros: killed
// at any write, an old DEST of the full length must not be left with them.
TEST_F(Stacks, KilledRunNeverLeavesZerosOverAnOldDest)
{
    SKIP_UNLESS_POSIX_TOOL();
    std::string shim = shim_path("stop_on_write");
    if (shim.empty())
        GTEST_SKIP() << "no stopping shim was built for the tool under test";
    constexpr int MOST_WRITES = 32;
    std::string insert = std::string(4096, '\0') + pattern(32768 - 4096, 1);
    std::string source = pattern(4096, 2);
    std::string old = pattern(MIB, 3);
    write_file(path("IP.BIN"), insert);
    write_file(path("src"), source);
    bool finished = false;
    for (int n = 1; n <= MOST_WRITES && !finished; ++n) {
        SCOPED_TRACE("killed at write " + std::to_string(n));
        write_file(path("dst"), old);
        child_io stop = {-1, false,
                         preloading(shim, {"TALVOR_STOP_AFTER=" + std::to_string(n),
                                           "TALVOR_STOP_SIGNAL=" + std::to_string(SIGKILL)})
                             .env};
        started_tool run = start_tool(dir, {"src", "dst"}, stop);
        bool timed_out = false;
        tool_run r = finish_tool(run, EACH_RUN_TIMEOUT_MS, &timed_out);
        ASSERT_FALSE(timed_out) << "the run never ended";
        finished = r.signal == 0;
        std::string left = read_file(path("dst"));
        EXPECT_TRUE(left == old || left.size() < old.size()) << "a head of zeros over old bytes";
        if (finished) {
            EXPECT_EQ(r.status, 0) << r.out;
            EXPECT_TRUE(left == expected_output(source, insert));
        }
    }
    EXPECT_TRUE(finished) << "still killed after " << MOST_WRITES << " writes";
}

// An ordinary user runs the tool on an overlay whose upper layer only root
// can reach: what the user can read and write is enough.
TEST_F(Stacks, OrdinaryUserOnAnOverlayWritesDest)
{
    SKIP_UNLESS_POSIX_TOOL();
    SKIP_UNLESS_ROOT();
    uid_t uid = 0;
    gid_t gid = 0;
    if (!nobody_ids(&uid, &gid))
        GTEST_SKIP() << "there is no user nobody";
    std::string insert = pattern(32768, 1);
    std::string source = pattern(2 * MIB + 5, 2);
    chmod(dir.c_str(), 0755);
    for (const char* d :
         {"private", "private/upper", "private/work", "lower", "lower/pub", "merged"})
        mkdir(path(d).c_str(), 0755);
    chmod(path("private").c_str(), 0700);
    chmod(path("lower/pub").c_str(), 01777);
    write_file(path("lower/pub/IP.BIN"), insert);
    write_file(path("lower/pub/src"), source);
    std::string why;
    if (!mount_with("mount -t overlay stack -o lowerdir=" + path("lower") +
                        ",upperdir=" + path("private/upper") + ",workdir=" + path("private/work") +
                        " " + path("merged"),
                    path("merged"), &why))
        GTEST_SKIP() << why;
    tool_run r = run_tool_with(path("merged/pub"), {"src", "dst"}, {-1, true, {}}, RUN_TIMEOUT_MS);
    EXPECT_EQ(r.out, success_report(r.name));
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(read_file(path("merged/pub/dst")) == expected_output(source, insert));
}

// The report's reader gone before it is written: the run had finished.
TEST_F(Stacks, ClosedReaderOfTheReportStillEndsInSuccess)
{
    SKIP_UNLESS_POSIX_TOOL();
    std::string insert = pattern(32768, 1);
    std::string source = pattern(MIB, 2);
    write_file(path("IP.BIN"), insert);
    write_file(path("src"), source);
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    close(ends[0]);
    tool_run r = run_tool_with(dir, {"src", "dst"}, {ends[1], false, {}}, RUN_TIMEOUT_MS);
    close(ends[1]);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.signal, 0);
    EXPECT_TRUE(read_file(path("dst")) == expected_output(source, insert));
}

// A FIFO DEST whose reader leaves after a little is a failed write, told.
TEST_F(Stacks, FifoDestWhoseReaderLeavesIsAFailedWrite)
{
    SKIP_UNLESS_POSIX_TOOL();
    constexpr int READER_MS = 5000;
    write_file(path("IP.BIN"), pattern(32768, 1));
    write_file(path("src"), pattern(8 * MIB, 2));
    ASSERT_EQ(mkfifo(path("dst").c_str(), 0600), 0);
    // Open before the tool, so that its open does not wait; gone after one
    // read, and never the tool's own, so that its writes find no reader.
    int reader = open(path("dst").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    int report = open(path("report").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(report, 0);
    started_tool run = start_tool(dir, {"src", "dst"}, {report, false, {}});
    close(report);
    pollfd ready = {reader, POLLIN, 0};
    EXPECT_EQ(poll(&ready, 1, READER_MS), 1) << "nothing came through DEST";
    char little[4096];
    EXPECT_GT(read(reader, little, sizeof little), 0);
    close(reader);
    bool timed_out = false;
    tool_run r = finish_tool(run, EACH_RUN_TIMEOUT_MS, &timed_out);
    EXPECT_FALSE(timed_out);
    EXPECT_EQ(r.signal, 0) << "ended by a signal";
    EXPECT_EQ(r.status, 249);
    EXPECT_EQ(read_file(path("report")), r.name + ": Je ne peux pas ecrire dst\n");
}

} // namespace
