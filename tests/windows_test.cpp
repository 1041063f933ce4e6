// SPDX-License-Identifier: MIT
// What only talvor.exe does: names in UTF-16, one run at a time on a
// destination, and stops as a console gives them.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "holding.h"
#include "shells.h"
#include "test_config.h"

namespace {

using Windows = ToolTest;

constexpr std::size_t MIB = std::size_t{1024} * 1024;

// What a run stopped once ready() holds is told: whether it ever did.
struct stop_point {
    std::shared_ptr<std::atomic<bool>> reached = std::make_shared<std::atomic<bool>>(false);
};

// Stops the run with SIGINT once ready() holds, or after REACH_LIMIT at most;
// the run itself is ended by timeout if it outlives RUN_LIMIT.
constexpr auto REACH_LIMIT = std::chrono::seconds(15);
constexpr const char* RUN_LIMIT = "20";

run_options stopped_when(std::function<bool()> ready, const stop_point& point)
{
    run_options options;
    options.wrapper = {"timeout", "-k", "5", RUN_LIMIT};
    options.stop_signal = SIGINT;
    auto deadline = std::chrono::steady_clock::now() + REACH_LIMIT;
    auto reached = point.reached;
    options.stop_when = [ready, reached, deadline] {
        *reached = *reached || ready();
        return *reached || std::chrono::steady_clock::now() > deadline;
    };
    return options;
}

// The launcher passes names that only UTF-16 can spell, each \uXXXX one unit,
// lone surrogates included; WTF-8 is how the tool prints them. Wine keeps no
// file with such a name, so the run must fail on it, naming it exactly, and
// leave alone the file whose name only looks alike (U+FFFD).
TEST_F(Windows, NamesWithLoneSurrogatesOpenNoOtherFile)
{
    SKIP_UNLESS_WINDOWS_TOOL();
#if !defined(TALVOR_TEST_LAUNCHER)
    GTEST_SKIP() << "no mingw-w64 C compiler built the launcher";
#else
    std::string insert = pattern(5000, 1);
    std::string source = pattern(70000, 2);
    write_file(path("IP.BIN"), insert);
    for (const char* name : {"src.img", "src\xEF\xBF\xBD.img", "src\xF0\x9F\x98\x80.img"})
        write_file(path(name), source);
    const std::vector<std::string> before = list_dir(dir);
    struct row {
        const char* source;
        const char* destination;
        int status;
        std::string out;
    };
    const row rows[] = {
        {"src\\uD800.img", "out.img", 253, "talvor: Je ne peux pas ouvrir src\xED\xA0\x80.img\n"},
        {"src.img", "out\\uDC00.img", 252, "talvor: Je ne peux pas ouvrir out\xED\xB0\x80.img\n"},
        {"src\\uDC00\\uD800.img", "out.img", 253,
         "talvor: Je ne peux pas ouvrir src\xED\xB0\x80\xED\xA0\x80.img\n"},
        // A pair is one code point, in four bytes.
        {"src\\uD83D\\uDE00.img", "out.img", 0, success_report("talvor")},
    };
    run_options launched;
    launched.wrapper = {TOOL_COMMAND[0], TALVOR_TEST_LAUNCHER};
    for (const row& r : rows) {
        tool_run run = run_tool(dir, {r.source, r.destination}, launched);
        EXPECT_EQ(run.status, r.status) << r.source << " " << r.destination;
        EXPECT_EQ(run.out, r.out);
        std::vector<std::string> after = before;
        if (r.status == 0) {
            after.push_back("out.img");
            std::sort(after.begin(), after.end());
            EXPECT_TRUE(read_file(path("out.img")) == expected_output(source, insert));
        }
        EXPECT_EQ(list_dir(dir), after);
        EXPECT_TRUE(read_file(path("src\xEF\xBF\xBD.img")) == source);
        std::filesystem::remove(path("out.img"));
    }
#endif
}

// Each run takes a lock on DEST before it measures it, so two runs into one
// DEST follow each other, whichever comes first, instead of mixing.
TEST_F(Windows, RunsIntoOneDestinationTakeTurns)
{
    SKIP_UNLESS_WINDOWS_TOOL();
    std::string insert = pattern(20000, 1);
    write_file(path("IP.BIN"), insert);
    const std::string sources[] = {pattern(48 * MIB, 2), pattern(32 * MIB, 3)};
    write_file(path("a"), sources[0]);
    write_file(path("b"), sources[1]);
    // Learns the tool's name before the threads share it.
    ASSERT_EQ(run({}).out, usage_screen());
    const struct {
        const char* what;
        std::size_t old_length; // 0: no DEST before the runs
    } rows[] = {{"old DEST", 40 * MIB}, {"new DEST", 0}};
    constexpr int ROUNDS = 3;
    for (const auto& r : rows)
        for (int round = 0; round < ROUNDS; ++round) {
            std::filesystem::remove(path("dst"));
            if (r.old_length > 0)
                write_file(path("dst"), std::string(r.old_length, '\xAA'));
            tool_run runs[2];
            std::thread first([&] { runs[0] = run({"a", "dst"}); });
            std::thread second([&] { runs[1] = run({"b", "dst"}); });
            first.join();
            second.join();
            for (const tool_run& t : runs) {
                EXPECT_EQ(t.status, 0) << r.what;
                EXPECT_EQ(t.out, success_report(t.name));
            }
            std::string dst = read_file(path("dst"));
            EXPECT_TRUE(dst == expected_output(sources[0], insert) ||
                        dst == expected_output(sources[1], insert))
                << r.what << ", round " << round << ": a mix of both runs";
        }
}

// A stop in any phase ends the run with STATUS_CONTROL_C_EXIT (0xC000013A,
// of which Wine hands its low byte, 58, to the Unix parent), cutting back a
// DEST that the run holds and leaving alone one it waits for; a write that
// blocks for good is not waited for. Wine turns SIGINT into a console Ctrl-C.
TEST_F(Windows, StopInEveryPhaseEndsWithControlCExit)
{
    SKIP_UNLESS_WINDOWS_TOOL();
    constexpr int CONTROL_C_EXIT = 0x3A;
    constexpr std::size_t FED = 60000; // less than a pipe holds: fed in one write
    std::string insert = pattern(5000, 1);
    std::string source = pattern(4 * MIB, 2);
    std::string old(MIB, '\xAA');
    struct phase {
        const char* what;
        const char* source;      // "pipe": FED bytes, then nothing more
        const char* destination; // "pipe.out": a FIFO that is never read
        bool held_by_another_run;
    };
    const phase phases[] = {
        {"waiting for DEST's turn", "src.img", "dst", true},
        {"reading a pipe into DEST", "pipe", "dst", false},
        {"reading a pipe into NUL", "pipe", "NUL", false},
        {"writing into a pipe that is not read", "src.img", "pipe.out", false},
    };
    for (const phase& p : phases) {
        SCOPED_TRACE(p.what);
        std::filesystem::remove_all(dir);
        std::filesystem::create_directory(dir);
        write_file(path("IP.BIN"), insert);
        write_file(path("src.img"), source);
        write_file(path("dst"), old);
        held_fifo in(path("pipe"));
        held_fifo out(path("pipe.out"));
        ASSERT_EQ(write(in.fd, source.data(), FED), static_cast<ssize_t>(FED));
        // The run that holds DEST reads the pipe; the one stopped waits for it.
        std::atomic<bool> waiter_done(false);
        stop_point holder_point;
        tool_run holder = {};
        std::thread holding;
        if (p.held_by_another_run) {
            auto done = [&waiter_done] { return waiter_done.load(); };
            holding = std::thread([&] {
                holder = run({"pipe", "dst"}, stopped_when(done, holder_point));
            });
            auto deadline = std::chrono::steady_clock::now() + REACH_LIMIT;
            while (in.waiting() != 0 && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            EXPECT_EQ(in.waiting(), 0) << "the run that holds DEST never read its pipe";
        }
        std::string dst = path("dst");
        int capacity = fcntl(out.fd, F_GETPIPE_SZ);
        std::function<bool()> ready = [&] { return in.waiting() == 0; };
        if (p.held_by_another_run)
            ready = [dst] { return process_holds("src.img", dst); };
        else if (std::string(p.destination) == "pipe.out")
            ready = [&out, capacity] { return out.waiting() >= capacity; };
        stop_point point;
        tool_run r = run({p.source, p.destination}, stopped_when(ready, point));
        // Read before the run that holds DEST is stopped in turn.
        std::string left = read_file(dst);
        waiter_done = true;
        EXPECT_TRUE(*point.reached) << "the run never reached the phase";
        EXPECT_EQ(r.status, CONTROL_C_EXIT);
        EXPECT_EQ(r.out, "");
        if (p.held_by_another_run) {
            EXPECT_TRUE(left == old) << "the waiting run touched DEST";
            holding.join();
            EXPECT_EQ(holder.status, CONTROL_C_EXIT);
            left = read_file(dst);
        }
        if (std::string(p.destination) == "dst") {
            EXPECT_LT(left.size(), old.size()) << "not cut back";
            EXPECT_TRUE(left == unsealed_output(source, insert).substr(0, left.size()));
        }
    }
}

} // namespace
