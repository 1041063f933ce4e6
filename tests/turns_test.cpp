// SPDX-License-Identifier: MIT
// Runs that feed each other take turns on their inputs, on every host: a run
// reading what another writes waits for it, a run writing what another
// reads waits for it, crossed runs both finish; and on Windows another
// program writing an input is still refused. The run that holds the others
// up is held itself on a FIFO that the test feeds or reads.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "holding.h"
#include "test_config.h"

namespace {

using Turns = ToolTest;

constexpr std::size_t MIB = std::size_t{1024} * 1024;
// Less than a pipe holds, and less than the first read: the holding run
// takes its turns, reads it all and waits for the rest.
constexpr std::size_t FIRST_FEED = 60000;
// Each bounded wait for a run or a program to reach its place.
constexpr auto REACH_LIMIT = std::chrono::seconds(30);

bool reached(const std::function<bool()>& ready)
{
    auto deadline = std::chrono::steady_clock::now() + REACH_LIMIT;
    while (!ready() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return ready();
}

// A run of the tool in a thread of its own.
struct background {
    tool_run result = {};
    std::thread thread;
};

// One run writes a.img from the FIFO and holds it; the runs in waiting start
// while it does, each one at its turn once it holds its DEST open; then the
// holding run is fed the rest. Every run must finish.
struct held_chain {
    const char* what;
    std::vector<std::vector<std::string>> waiting; // SOURCE, DEST of each
};

TEST_F(Turns, RunsThatFeedEachOtherWaitAndFinish)
{
    std::string insert = pattern(5000, 1);
    std::string fed = pattern(4 * MIB + 3, 2);
    std::string other = pattern(3 * MIB + 1, 3);
    const held_chain chains[] = {
        {"a.img read while it is written", {{"a.img", "b.img"}}},
        {"crossed runs behind it", {{"a.img", "b.img"}, {"b.img", "a.img"}}},
    };
    for (const held_chain& c : chains) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(dir);
        std::filesystem::create_directory(dir);
        write_file(path("IP.BIN"), insert);
        write_file(path("a.img"), pattern(MIB, 4));
        write_file(path("b.img"), other);
        held_fifo in(path("fifo"));
        ASSERT_EQ(write(in.fd, fed.data(), FIRST_FEED), static_cast<ssize_t>(FIRST_FEED));
        background holder;
        holder.thread = std::thread([&] { holder.result = run({"fifo", "a.img"}); });
        EXPECT_TRUE(reached([&] { return in.waiting() == 0; })) << "the holding run never read";
        std::vector<background> runs(c.waiting.size());
        for (std::size_t i = 0; i < runs.size(); ++i) {
            std::vector<std::string> args = c.waiting[i];
            runs[i].thread = std::thread([&, i, args] { runs[i].result = run(args); });
            EXPECT_TRUE(reached([&] {
                return process_holds(args[0] + " " + args[1], path(args[1]));
            })) << args[0] + " -> " + args[1] + " never opened its DEST";
        }
        std::string rest = fed.substr(FIRST_FEED);
        EXPECT_EQ(write(in.fd, rest.data(), rest.size()), static_cast<ssize_t>(rest.size()));
        close(in.fd);
        in.fd = -1;
        holder.thread.join();
        EXPECT_EQ(holder.result.status, 0) << holder.result.out;
        for (background& b : runs) {
            b.thread.join();
            EXPECT_EQ(b.result.status, 0) << b.result.out;
        }
        // Whichever crossed run went first, both files end as its output.
        std::string a = read_file(path("a.img"));
        std::string b = read_file(path("b.img"));
        EXPECT_TRUE(b == expected_output(fed, insert) || b == expected_output(other, insert));
        if (runs.size() == 2)
            EXPECT_TRUE(a == b);
        else
            EXPECT_TRUE(a == expected_output(fed, insert));
    }
}

// A run reading SOURCE into a FIFO that the test reads only later holds
// SOURCE's turn all along, past the reopen that keeps other programs off:
// a run writing SOURCE meanwhile waits for it, then finishes.
TEST_F(Turns, RunWritingAnInputWaitsForTheRunReadingIt)
{
    std::string insert = pattern(5000, 1);
    std::string source = pattern(2 * MIB + 7, 2);
    std::string other = pattern(MIB + 5, 3);
    write_file(path("IP.BIN"), insert);
    write_file(path("src.img"), source);
    write_file(path("b.img"), other);
    held_fifo out(path("pipe.out"));
    int capacity = fcntl(out.fd, F_GETPIPE_SZ);
    background reader;
    reader.thread = std::thread([&] { reader.result = run({"src.img", "pipe.out"}); });
    EXPECT_TRUE(reached([&] { return out.waiting() >= capacity; })) << "the reader never wrote";
    background writer;
    writer.thread = std::thread([&] { writer.result = run({"b.img", "src.img"}); });
    EXPECT_TRUE(reached([&] { return process_holds("b.img src.img", path("src.img")); }))
        << "the writer never opened SOURCE";
    std::string got;
    char buffer[65536];
    ssize_t n = 0;
    while (got.size() < source.size() && (n = read(out.fd, buffer, sizeof buffer)) > 0)
        got.append(buffer, static_cast<std::size_t>(n));
    reader.thread.join();
    writer.thread.join();
    EXPECT_EQ(reader.result.status, 0) << reader.result.out;
    EXPECT_EQ(writer.result.status, 0) << writer.result.out;
    EXPECT_TRUE(got == expected_output(source, insert)) << "the reader read a mix";
    EXPECT_TRUE(read_file(path("src.img")) == expected_output(other, insert));
}

// cmd keeps an input open for writing while it waits for a line on its
// standard input: a run meanwhile is refused as before, told why, and
// writes nothing anywhere.
TEST_F(Turns, InputHeldForWritingByAnotherProgramIsRefusedOnWindows)
{
    if (!tool_on_windows())
        GTEST_SKIP() << "POSIX has no share modes: other programs are not held off";
    std::string insert = pattern(5000, 1);
    std::string source = pattern(70000, 2);
    std::string old = pattern(100000, 3);
    const struct {
        const char* input;
        int status;
    } rows[] = {{"src", 253}, {"IP.BIN", 254}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.input);
        write_file(path("IP.BIN"), insert);
        write_file(path("src"), source);
        write_file(path("dst"), old);
        std::filesystem::remove(path("fifo"));
        held_fifo line(path("fifo"));
        std::string held = std::string("set /p x= >> ") + r.input;
        std::atomic<bool> ended{false};
        std::thread program([&] {
            shell("cd '" + dir + "' && exec '" + TOOL_COMMAND[0] + "' cmd /c '" + held +
                  "' < fifo > /dev/null 2>cmd-said");
            ended = true;
        });
        EXPECT_TRUE(reached([&] { return ended || process_holds(held, path(r.input)); }) && !ended)
            << "cmd never held " << r.input << (ended ? ": it ended, saying: " : ": ")
            << read_file(path("cmd-said"));
        run_options errors_kept;
        errors_kept.wrapper = {"sh", "-c", "exec \"$@\" 2>err", "sh"};
        tool_run t = run({"src", "dst"}, errors_kept);
        ASSERT_EQ(write(line.fd, "\n", 1), 1);
        program.join();
        EXPECT_EQ(t.status, r.status);
        EXPECT_EQ(t.out, t.name + ": Je ne peux pas ouvrir " + r.input + "\n");
        EXPECT_EQ(read_file(path("err")),
                  t.name + ": " + r.input + ": pris en ecriture par un autre programme\r\n");
        EXPECT_TRUE(read_file(path("dst")) == old);
        // cmd itself may end the input with a line end of its own.
        std::string first = std::string(r.input) == "src" ? source : insert;
        std::string now = read_file(path(r.input));
        EXPECT_TRUE(now.compare(0, first.size(), first) == 0 && now.size() <= first.size() + 2);
    }
}

} // namespace
