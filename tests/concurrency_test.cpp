// SPDX-License-Identifier: MIT
// Runs at once into one DEST take turns: the first run is held on its turn
// by a piped SOURCE that the test feeds, the others must wait untouched
// until it ends, and DEST is then exactly the last run's output; a run
// stopped while it waits leaves the other's DEST as it is.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>

#include "harness.h"

namespace {

using Concurrency = ToolTest;

constexpr std::size_t MIB = std::size_t{1024} * 1024;
// Each bounded wait; far above what the steps take on a busy machine.
constexpr int WAIT_LIMIT_MS = 15000;
constexpr int POLL_MS = 5;
constexpr int US_PER_MS = 1000;
// How long a waiting run is watched for touching DEST or ending.
constexpr int HELD_MS = 300;
// What the held run is fed before the others start: less than it reads at
// once, so that it takes its turn and then waits for the rest.
constexpr std::size_t FIRST_FEED = 64 * 1024;

bool wait_until(const std::function<bool()>& done, int limit_ms)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        usleep(POLL_MS * US_PER_MS);
    }
    return true;
}

// A run in its own thread, watched through its pid.
struct background {
    std::thread thread;
    tool_run result = {};
    std::atomic<int> pid{0};
    std::atomic<bool> ended{false};
};

void start(background& b, const std::string& dir, const std::vector<std::string>& args)
{
    b.thread = std::thread([&b, &dir, args] {
        run_options o;
        o.started = [&b](int pid) { b.pid = pid; };
        b.result = run_tool(dir, args, o);
        b.ended = true;
    });
}

// The state letter of /proc/PID/stat: 'S' for a process asleep.
char state_of(int pid)
{
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    std::size_t end = stat.rfind(") ");
    return end == std::string::npos || end + 2 >= stat.size() ? '?' : stat[end + 2];
}

// Whether the process has file open for writing.
bool writes_to(int pid, const std::string& file)
{
    struct stat target;
    std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = opendir(fds.c_str());
    if (d == nullptr || stat(file.c_str(), &target) != 0) {
        if (d != nullptr)
            closedir(d);
        return false;
    }
    bool found = false;
    while (dirent* e = readdir(d)) {
        struct stat info;
        std::string fd = fds + "/" + e->d_name;
        if (e->d_name[0] == '.' || stat(fd.c_str(), &info) != 0 || info.st_ino != target.st_ino ||
            info.st_dev != target.st_dev)
            continue;
        std::string fdinfo = read_file("/proc/" + std::to_string(pid) + "/fdinfo/" + e->d_name);
        std::size_t at = fdinfo.find("flags:");
        long flags = at == std::string::npos ? 0 : std::strtol(&fdinfo[at + 6], nullptr, 8);
        found = found || (flags & O_ACCMODE) != O_RDONLY;
    }
    closedir(d);
    return found;
}

// Whether run b sits waiting with DEST open for writing.
bool waiting_on(const background& b, const std::string& dst)
{
    return !b.ended && b.pid != 0 && state_of(b.pid) == 'S' && writes_to(b.pid, dst);
}

// Writes all of data into the FIFO, failing the test past the bound.
bool feed(int fifo, const std::string& data)
{
    std::size_t done = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(WAIT_LIMIT_MS);
    while (done < data.size() && std::chrono::steady_clock::now() < deadline) {
        pollfd p = {fifo, POLLOUT, 0};
        if (poll(&p, 1, POLL_MS) <= 0)
            continue;
        ssize_t n = write(fifo, data.data() + done, data.size() - done);
        done += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    EXPECT_EQ(done, data.size()) << "the held run stopped reading its piped SOURCE";
    return done == data.size();
}

// The held run, fed its first bytes, has read them all and sleeps for more.
bool holds_its_turn(const background& b, int fifo)
{
    int unread = -1;
    return b.pid != 0 && ioctl(fifo, FIONREAD, &unread) == 0 && unread == 0 &&
           state_of(b.pid) == 'S';
}

// Each run in turn: ended within the bound, or killed so that the test goes on.
void finish(std::vector<std::unique_ptr<background>>& runs)
{
    for (auto& b : runs) {
        if (!wait_until([&b] { return b->ended.load(); }, WAIT_LIMIT_MS)) {
            ADD_FAILURE() << "run " << b->pid << " still running after " << WAIT_LIMIT_MS << " ms";
            kill(b->pid, SIGKILL);
        }
        b->thread.join();
    }
}

// The first run holds its turn on a FIFO SOURCE; the others start one at a
// time, and each must wait with DEST untouched. Returns the FIFO's write end.
int hold_and_queue(const std::string& dir, std::size_t waiting,
                   std::vector<std::unique_ptr<background>>& runs, const std::string& head)
{
    std::string dst = dir + "/dst";
    if (mkfifo((dir + "/pipe").c_str(), 0600) != 0)
        return -1;
    int fifo = open((dir + "/pipe").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    runs.push_back(std::make_unique<background>());
    start(*runs[0], dir, {"pipe", "dst"});
    if (fifo < 0 || !feed(fifo, head))
        return fifo;
    // Settled: all it was fed read, asleep, and DEST the same on two looks,
    // each taken once it was seen asleep: a look taken before could miss a
    // write made just after it (a run that reads its first block whole
    // writes it before it waits).
    std::string before = "?";
    auto settled = [&] {
        if (!holds_its_turn(*runs[0], fifo))
            return false;
        std::string now = read_file(dst);
        bool same = now == before && holds_its_turn(*runs[0], fifo);
        before = now;
        return same;
    };
    if (!wait_until(settled, WAIT_LIMIT_MS)) {
        ADD_FAILURE() << "the first run never read its first bytes and waited for more";
        return fifo;
    }
    for (std::size_t i = 1; i <= waiting; ++i) {
        runs.push_back(std::make_unique<background>());
        background& b = *runs.back();
        start(b, dir, {"src" + std::to_string(i), "dst"});
        // Ended is an answer too: it did not wait.
        EXPECT_TRUE(wait_until([&] { return b.ended || waiting_on(b, dst); }, WAIT_LIMIT_MS) &&
                    !b.ended)
            << "run " << i << " never waited with DEST open";
        usleep(HELD_MS * US_PER_MS);
        EXPECT_FALSE(b.ended) << "run " << i << " ended while another held DEST: " << b.result.out;
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
        EXPECT_TRUE(wait_until([&] { return runs.back()->ended.load(); }, WAIT_LIMIT_MS))
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

} // namespace
