// SPDX-License-Identifier: MIT
// Runs at once into one DEST take turns: the first run is held on its turn
// by a piped SOURCE that the test feeds, the others must wait untouched
// until it ends, and DEST is then exactly the last run's output; a run
// stopped while it waits leaves the other's DEST as it is; and a run that
// waits holds no other turn meanwhile.
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "held_runs.h"

namespace {

using Concurrency = ToolTest;

constexpr std::size_t MIB = std::size_t{1024} * 1024;
// What the held run is fed before the others start: less than it reads at
// once, so that it takes its turn and then waits for the rest.
constexpr std::size_t FIRST_FEED = 64 * 1024;

// The held run, fed its first bytes, has read them all and waits for more,
// all it made of them written.
bool holds_its_turn(const background& b, int fifo, const std::string& file)
{
    int unread = -1;
    return b.pid != 0 && ioctl(fifo, FIONREAD, &unread) == 0 && unread == 0 &&
           blocked_reading(b.pid, file);
}

// Each run in turn: ended within the bound, or killed so that the test goes on.
void finish(std::vector<std::unique_ptr<background>>& runs)
{
    for (auto& b : runs)
        finish(*b);
}

// The first run holds its turn on a FIFO SOURCE; the others start one at a
// time, and each must wait with DEST untouched. Returns the FIFO's write end.
int hold_and_queue(const std::string& dir, std::size_t waiting,
                   std::vector<std::unique_ptr<background>>& runs, const std::string& head)
{
    std::string dst = dir + "/dst";
    std::string pipe = dir + "/pipe";
    if (mkfifo(pipe.c_str(), 0600) != 0)
        return -1;
    int fifo = open(pipe.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    runs.push_back(std::make_unique<background>());
    start(*runs[0], dir, {"pipe", "dst"});
    if (fifo < 0 || !feed(fifo, head))
        return fifo;
    if (!wait_until([&] { return holds_its_turn(*runs[0], fifo, pipe); })) {
        ADD_FAILURE() << "the first run never read its first bytes and waited for more";
        return fifo;
    }
    std::string before = read_file(dst);
    for (std::size_t i = 1; i <= waiting; ++i) {
        runs.push_back(std::make_unique<background>());
        background& b = *runs.back();
        start(b, dir, {"src" + std::to_string(i), "dst"});
        // Ended is an answer too: it did not wait.
        auto queued = [&] { return b.ended || waiting_for_turn(dst) == static_cast<int>(i); };
        EXPECT_TRUE(wait_until(queued) && !b.ended)
            << "run " << i << " never waited for DEST's turn: " << b.result.out;
        EXPECT_TRUE(read_file(dst) == before) << "run " << i << " wrote DEST out of its turn";
    }
    return fifo;
}

struct turn_case {
    const char* what;
    std::vector<std::size_t> sources; // the held run's, then one run for each other
    long long old;                    // an old DEST's length; -1 for none
};

TEST_F(Concurrency, RunsTakeTurnsAndLeaveTheLastRunsOutput)
{
    SKIP_UNLESS_POSIX_TOOL();
    if (!tool_is_native())
        GTEST_SKIP() << "the held run is seen in its read call, as numbered on this processor";
    const turn_case cases[] = {
        {"two, new DEST", {3 * MIB, 2 * MIB + 5}, -1},
        {"two, old DEST", {3 * MIB, MIB + 5}, 4 * MIB},
        {"three of different lengths", {2 * MIB + 1, 3 * MIB + 7, MIB + 3}, 5 * MIB / 2},
    };
    std::string insert = pattern(32768, 1);
    write_file(path("IP.BIN"), insert);
    for (const turn_case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> outputs;
        std::vector<std::string> sources;
        for (std::size_t i = 0; i < c.sources.size(); ++i) {
            sources.push_back(pattern(c.sources[i], static_cast<unsigned>(i + 2)));
            if (i > 0)
                write_file(path("src" + std::to_string(i)), sources[i]);
            outputs.push_back(expected_output(sources[i], insert));
        }
        unlink(path("dst").c_str());
        unlink(path("pipe").c_str());
        if (c.old >= 0)
            write_file(path("dst"), pattern(static_cast<std::size_t>(c.old), 9));
        std::vector<std::unique_ptr<background>> runs;
        int fifo =
            hold_and_queue(dir, c.sources.size() - 1, runs, sources[0].substr(0, FIRST_FEED));
        if (fifo >= 0) {
            feed(fifo, sources[0].substr(FIRST_FEED));
            close(fifo);
        }
        finish(runs);
        ASSERT_GE(fifo, 0) << "no FIFO for the held run";
        for (std::size_t i = 0; i < runs.size(); ++i)
            EXPECT_EQ(runs[i]->result.status, 0) << "run " << i << ": " << runs[i]->result.out;
        // Which waiting run goes next is the system's choice: the last turn
        // is one of theirs, and never the held run's.
        std::string left = read_file(path("dst"));
        EXPECT_TRUE(std::find(outputs.begin() + 1, outputs.end(), left) != outputs.end())
            << "DEST (" << left.size() << " bytes) is not the output of a run that waited";
    }
}

struct stop_case {
    const char* what;
    int signal;
    long long old; // an old DEST's length; -1 for none
};

TEST_F(Concurrency, RunStoppedWhileWaitingLeavesTheOtherRunsDest)
{
    SKIP_UNLESS_POSIX_TOOL();
    if (!tool_is_native())
        GTEST_SKIP() << "the held run is seen in its read call, as numbered on this processor";
    const stop_case cases[] = {{"SIGTERM, old DEST", SIGTERM, 4 * MIB},
                               {"SIGINT, new DEST", SIGINT, -1}};
    std::string insert = pattern(32768, 1);
    std::string slow = pattern(3 * MIB + 1, 2);
    write_file(path("IP.BIN"), insert);
    write_file(path("src1"), pattern(5 * MIB, 3));
    for (const stop_case& c : cases) {
        SCOPED_TRACE(c.what);
        unlink(path("dst").c_str());
        unlink(path("pipe").c_str());
        if (c.old >= 0)
            write_file(path("dst"), pattern(static_cast<std::size_t>(c.old), 4));
        std::vector<std::unique_ptr<background>> runs;
        int fifo = hold_and_queue(dir, 1, runs, slow.substr(0, FIRST_FEED));
        std::string before = read_file(path("dst"));
        if (runs.size() == 2 && runs[1]->pid != 0 && !runs[1]->ended)
            kill(runs[1]->pid, c.signal);
        EXPECT_TRUE(wait_until([&] { return runs.back()->ended.load(); }))
            << "the stopped run did not end";
        EXPECT_TRUE(read_file(path("dst")) == before) << "the stopped run cut DEST";
        if (fifo >= 0) {
            feed(fifo, slow.substr(FIRST_FEED));
            close(fifo);
        }
        finish(runs);
        ASSERT_EQ(runs.size(), 2u);
        EXPECT_EQ(runs[1]->result.signal, c.signal);
        EXPECT_EQ(runs[1]->result.out, "");
        EXPECT_EQ(runs[0]->result.status, 0) << runs[0]->result.out;
        EXPECT_TRUE(read_file(path("dst")) == expected_output(slow, insert));
    }
}

// A run that finds DEST's turn taken waits for it holding nothing else, so
// that two runs onto each other's SOURCE never wait on each other: while
// it waits, another takes the inputs' turns for itself alone.
TEST_F(Concurrency, ARunWaitingForDestHoldsNoOtherTurn)
{
    SKIP_UNLESS_POSIX_TOOL();
    std::string insert = pattern(32768, 1);
    std::string source = pattern(MIB, 2);
    write_file(path("IP.BIN"), insert);
    write_file(path("src"), source);
    write_file(path("dst"), "old");
    int dest_turn = take_turn(path("dst"), true);
    ASSERT_GE(dest_turn, 0);
    background b;
    start(b, dir, {"src", "dst"});
    EXPECT_TRUE(wait_until([&] { return b.ended || waiting_for_turn(path("dst")) == 1; }))
        << "the run never waited for DEST's turn: " << b.result.out;
    for (const char* input : {"IP.BIN", "src"}) {
        int turn = take_turn(path(input), true);
        EXPECT_GE(turn, 0) << "the waiting run holds " << input << "'s turn";
        if (turn >= 0)
            close(turn);
    }
    EXPECT_EQ(read_file(path("dst")), "old");
    close(dest_turn);
    finish(b);
    EXPECT_EQ(b.result.status, 0) << b.result.out;
    EXPECT_TRUE(read_file(path("dst")) == expected_output(source, insert));
}

} // namespace
