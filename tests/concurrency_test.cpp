// SPDX-License-Identifier: MIT
// Runs at once into one DEST: each waits for the one before it, so that DEST
// is always exactly one run's output, and a run stopped while it waits
// leaves the other's DEST as it is.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <thread>

#include "harness.h"

namespace {

using Concurrency = ToolTest;

constexpr std::size_t MIB = std::size_t{1024} * 1024;

struct race {
    const char* what;
    std::vector<std::size_t> sources; // one run for each, with a source of that length
    long long old;                    // an old DEST's length; -1 for none
};

// The runs started at once, each as its own process.
std::vector<tool_run> run_at_once(const std::string& dir, std::size_t runs)
{
    std::vector<tool_run> results(runs);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < runs; ++i)
        threads.emplace_back([&results, &dir, i] {
            results[i] = run_tool(dir, {"src" + std::to_string(i), "dst"});
        });
    for (std::thread& t : threads)
        t.join();
    return results;
}

TEST_F(Concurrency, RunsAtOnceLeaveExactlyOneRunsOutput)
{
    SKIP_UNLESS_POSIX_TOOL();
    // Enough trials that today's tool without a lock failed several times.
    constexpr int TRIALS = 12;
    const race races[] = {
        {"two, new DEST", {48 * MIB, 48 * MIB}, -1},
        {"two, old DEST", {48 * MIB, 40 * MIB + 5}, 48 * MIB},
        {"three of different lengths", {48 * MIB, 24 * MIB, 36 * MIB + 7}, 44 * MIB},
    };
    std::string insert = pattern(32768, 1);
    write_file(path("IP.BIN"), insert);
    for (const race& r : races) {
        std::vector<std::string> outputs;
        for (std::size_t i = 0; i < r.sources.size(); ++i) {
            std::string source = pattern(r.sources[i], static_cast<unsigned>(i + 2));
            write_file(path("src" + std::to_string(i)), source);
            outputs.push_back(expected_output(source, insert));
        }
        int mixed = 0;
        for (int trial = 0; trial < TRIALS; ++trial) {
            if (r.old < 0)
                unlink(path("dst").c_str());
            else
                write_file(path("dst"), pattern(static_cast<std::size_t>(r.old), 9));
            for (const tool_run& run : run_at_once(dir, r.sources.size()))
                EXPECT_EQ(run.status, 0) << r.what << ": " << run.out;
            std::string left = read_file(path("dst"));
            mixed += std::find(outputs.begin(), outputs.end(), left) == outputs.end();
        }
        EXPECT_EQ(mixed, 0) << r.what << ": DEST was no run's output in " << mixed << " of "
                            << TRIALS << " trials";
    }
}

// Whether /proc/locks shows a lock on file held, or waited for ("->").
bool lock_shown(const std::string& file, bool waited)
{
    struct stat info;
    if (stat(file.c_str(), &info) != 0)
        return false;
    std::string inode = ":" + std::to_string(info.st_ino) + " ";
    std::istringstream locks(read_file("/proc/locks"));
    for (std::string line; std::getline(locks, line);)
        if (line.find(inode) != std::string::npos &&
            (line.find("->") != std::string::npos) == waited)
            return true;
    return false;
}

TEST_F(Concurrency, RunStoppedWhileWaitingLeavesTheOtherRunsDest)
{
    SKIP_UNLESS_POSIX_TOOL();
    std::string insert = pattern(32768, 1);
    std::string slow = pattern(3 * MIB + 1, 2);
    write_file(path("IP.BIN"), insert);
    write_file(path("quick"), pattern(5 * MIB, 3));
    write_file(path("dst"), pattern(4 * MIB, 4));
    // The first run holds DEST while it waits for its piped source.
    ASSERT_EQ(mkfifo(path("pipe").c_str(), 0600), 0);
    int feed = open(path("pipe").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(feed, 0);
    tool_run first;
    std::thread holder([&] { first = run({"pipe", "dst"}); });
    std::string dst = path("dst");
    for (int i = 0; i < 5000 && !lock_shown(dst, false); ++i)
        usleep(1000);
    run_options stopped;
    stopped.stop_signal = SIGTERM;
    stopped.stop_when = [dst] { return lock_shown(dst, true); };
    tool_run second = run({"quick", "dst"}, stopped);
    EXPECT_EQ(second.signal, SIGTERM);
    EXPECT_EQ(second.out, "");
    EXPECT_EQ(write(feed, slow.data(), slow.size()), static_cast<ssize_t>(slow.size()));
    close(feed);
    holder.join();
    EXPECT_EQ(first.status, 0) << first.out;
    EXPECT_TRUE(read_file(path("dst")) == expected_output(slow, insert));
}

} // namespace
