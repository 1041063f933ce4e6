// SPDX-License-Identifier: MIT
// Runs of the tool that meet on the same files take turns: a run reading
// what another writes waits for it, runs onto each other's source end
// whole, another program's lock holds no run, two runs onto one device
// both finish.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "stacks_harness.h"

namespace {

using Stacks = StackTest;

// Whether a lock on the file is shown in /proc/locks.
bool locked(const std::string& file)
{
    struct stat info;
    if (stat(file.c_str(), &info) != 0)
        return false;
    return read_file("/proc/locks").find(":" + std::to_string(info.st_ino) + " ") !=
           std::string::npos;
}

bool locked_within(const std::string& file, int ms)
{
    constexpr int STEP_MS = 10;
    for (int waited = 0; waited < ms && !locked(file); waited += STEP_MS)
        usleep(STEP_MS * 1000);
    return locked(file);
}

// Writes data to the pipe fd, giving up after ms; whether all of it went.
bool feed_within(int fd, const std::string& data, int ms)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    std::size_t done = 0;
    pollfd room = {fd, POLLOUT, 0};
    while (done < data.size() && poll(&room, 1, ms) == 1) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n > 0)
            done += static_cast<std::size_t>(n);
    }
    return done == data.size();
}

// A run whose source another run is writing waits until it is finished.
TEST_F(Stacks, RunReadingADestBeingWrittenWaitsForIt)
{
    SKIP_UNLESS_POSIX_TOOL();
    constexpr int HELD_MS = 1000;
    constexpr int START_MS = 5000;
    constexpr int FEED_MS = 5000;
    // Less than a pipe holds, so that it goes in before the run reads.
    constexpr std::size_t FIRST_PART = 48 * KIB;
    std::string insert = pattern(32768, 1);
    std::string fed = pattern(3 * MIB + 7, 2);
    write_file(path("IP.BIN"), insert);
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    int feed = open(path("fifo").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(feed, 0);
    ASSERT_TRUE(feed_within(feed, fed.substr(0, FIRST_PART), FEED_MS));
    started_tool first = start_tool(dir, {"fifo", "B"});
    EXPECT_TRUE(locked_within(path("B"), START_MS)) << "the first run never held B";
    started_tool second = start_tool(dir, {"B", "C"});
    bool waited = still_running_after(second, HELD_MS);
    EXPECT_TRUE(waited) << "read B while another run was writing it";
    EXPECT_TRUE(feed_within(feed, fed.substr(FIRST_PART), FEED_MS))
        << "the first run stopped reading";
    close(feed);
    bool timed_out = false;
    tool_run a = finish_tool(first, EACH_RUN_TIMEOUT_MS, &timed_out);
    EXPECT_FALSE(timed_out) << "fifo into B never ended";
    tool_run b = finish_tool(second, EACH_RUN_TIMEOUT_MS, &timed_out);
    EXPECT_FALSE(timed_out) << "B into C never ended";
    EXPECT_EQ(a.status, 0) << a.out;
    EXPECT_EQ(b.status, 0) << b.out;
    std::string finished = read_file(path("B"));
    EXPECT_TRUE(finished == expected_output(fed, insert));
    std::string copied = read_file(path("C"));
    EXPECT_TRUE(copied == finished)
        << "C is not the finished B: " << copied.size() << " of " << finished.size() << " bytes";
}

// Two runs, each one's source the other's DEST: forth is A into B, back B into A.
struct crossed {
    std::string a;
    std::string b;
    std::string insert;
};

// Each run ended or was refused cleanly, and each file is whole: as if the
// runs had gone one after the other, or one or both had been refused.
void expect_whole(const std::string& dir, const crossed& c, const tool_run& forth,
                  const tool_run& back)
{
    for (const tool_run& r : {forth, back})
        EXPECT_TRUE(r.status == 0 || (r.signal == 0 && r.status > 128 && !r.out.empty()))
            << r.status << ": " << r.out;
    std::string a_into_b = expected_output(c.a, c.insert);
    std::string b_into_a = expected_output(c.b, c.insert);
    std::string left_a = read_file(dir + "/A");
    std::string left_b = read_file(dir + "/B");
    bool whole = (left_a == a_into_b && left_b == a_into_b) ||
                 (left_a == b_into_a && left_b == b_into_a) || (left_a == c.a && left_b == c.b) ||
                 (left_a == c.a && left_b == a_into_b && back.status != 0) ||
                 (left_a == b_into_a && left_b == c.b && forth.status != 0);
    EXPECT_TRUE(whole) << "A or B is a mix: " << left_a.size() << " and " << left_b.size()
                       << " bytes; statuses " << forth.status << " and " << back.status;
}

// Started at once: both end, neither waiting for the other for ever.
TEST_F(Stacks, RunsOntoEachOthersSourceEndWhole)
{
    SKIP_UNLESS_POSIX_TOOL();
    constexpr int TRIALS = 4;
    crossed c = {pattern(12 * MIB, 2), pattern(8 * MIB + 5, 3), pattern(32768, 1)};
    write_file(path("IP.BIN"), c.insert);
    for (int trial = 0; trial < TRIALS; ++trial) {
        SCOPED_TRACE("trial " + std::to_string(trial));
        write_file(path("A"), c.a);
        write_file(path("B"), c.b);
        started_tool forth = start_tool(dir, {"A", "B"});
        started_tool back = start_tool(dir, {"B", "A"});
        bool stuck_forth = false;
        bool stuck_back = false;
        tool_run f = finish_tool(forth, EACH_RUN_TIMEOUT_MS, &stuck_forth);
        tool_run g = finish_tool(back, EACH_RUN_TIMEOUT_MS, &stuck_back);
        ASSERT_FALSE(stuck_forth || stuck_back) << "the runs wait for each other";
        expect_whole(dir, c, f, g);
    }
}

// Whether the process is stopped, as /proc/PID/stat tells, within ms.
bool stopped_within(pid_t pid, int ms)
{
    constexpr int STEP_MS = 10;
    std::string stat_file = "/proc/" + std::to_string(pid) + "/stat";
    for (int waited = 0; waited <= ms; waited += STEP_MS) {
        std::string line = read_file(stat_file);
        std::size_t end = line.rfind(") ");
        if (end != std::string::npos && line.compare(end + 2, 1, "T") == 0)
            return true;
        usleep(STEP_MS * 1000);
    }
    return false;
}

// The same, back started while forth is stopped half way through its copy:
// the interleaving that a start at once only meets by chance.
TEST_F(Stacks, RunOntoTheSourceOfAStoppedRunEndsWhole)
{
    SKIP_UNLESS_POSIX_TOOL();
    std::string shim = shim_path("stop_on_write");
    if (shim.empty())
        GTEST_SKIP() << "no stopping shim was built for the tool under test";
    constexpr int STOP_MS = 5000;
    constexpr int STOPPED_MS = 1000;
    // Stretches of data between holes, so that the copy takes several writes.
    std::string a(6 * MIB, '\0');
    for (std::size_t at : {std::size_t{0}, 2 * MIB, 4 * MIB})
        a.replace(at, MIB, pattern(MIB, static_cast<unsigned>(at / MIB + 2)));
    crossed c = {a, pattern(4 * MIB + 5, 9), pattern(32768, 1)};
    write_file(path("IP.BIN"), c.insert);
    write_sparse(path("A"), c.a);
    write_file(path("B"), c.b);
    child_io stopped = {
        -1, false,
        preloading(shim, {"TALVOR_STOP_AFTER=2", "TALVOR_STOP_SIGNAL=" + std::to_string(SIGSTOP)})
            .env};
    started_tool forth = start_tool(dir, {"A", "B"}, stopped);
    bool stopped_in_time = stopped_within(forth.pid, STOP_MS);
    EXPECT_TRUE(stopped_in_time) << "A into B never stopped at its second write";
    started_tool back = start_tool(dir, {"B", "A"});
    still_running_after(back, STOPPED_MS);
    kill(forth.pid, SIGCONT);
    bool stuck_forth = false;
    bool stuck_back = false;
    tool_run f = finish_tool(forth, EACH_RUN_TIMEOUT_MS, &stuck_forth);
    tool_run g = finish_tool(back, EACH_RUN_TIMEOUT_MS, &stuck_back);
    ASSERT_FALSE(stuck_forth || stuck_back) << "the runs wait for each other";
    expect_whole(dir, c, f, g);
}

// A lock that another program holds on DEST is not a run's: it is not waited for.
TEST_F(Stacks, AnotherProgramsLockDoesNotHoldTheRun)
{
    SKIP_UNLESS_POSIX_TOOL();
    constexpr int LOCKED_MS = 5000;
    constexpr int WELL_BEFORE_MS = 8000; // the other program holds it 25 s
    std::string insert = pattern(32768, 1);
    std::string source = pattern(2 * MIB, 2);
    write_file(path("IP.BIN"), insert);
    write_file(path("src"), source);
    write_file(path("out.img"), pattern(3 * MIB, 3));
    pid_t other = start_holder({"sh", "-c", "exec 9>>out.img && flock 9 && exec sleep 25"}, dir);
    ASSERT_GT(other, 0);
    ASSERT_TRUE(locked_within(path("out.img"), LOCKED_MS)) << "flock never took out.img";
    started_tool run = start_tool(dir, {"src", "out.img"});
    bool timed_out = false;
    tool_run r = finish_tool(run, WELL_BEFORE_MS, &timed_out);
    EXPECT_FALSE(timed_out) << "waited for the other program's lock";
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(read_file(path("out.img")) == expected_output(source, insert));
}

// Two runs onto one block device that nothing has mounted both finish; the
// device then holds one run's output whole.
TEST_F(Stacks, TwoRunsOntoOneLoopDeviceBothFinish)
{
    SKIP_UNLESS_POSIX_TOOL();
    SKIP_UNLESS_ROOT();
    std::string insert = pattern(32768, 1);
    write_file(path("IP.BIN"), insert);
    std::string old = pattern(8 * MIB, 2);
    write_file(path("disk"), old);
    std::string why;
    std::string device = attach_loop(path("disk"), &why);
    if (device.empty())
        GTEST_SKIP() << why;
    std::vector<std::string> outputs;
    for (unsigned i = 0; i < 2; ++i) {
        std::string source = pattern(4 * MIB, i + 3);
        write_file(path("src" + std::to_string(i)), source);
        outputs.push_back(expected_output(source, insert) + old.substr(source.size()));
    }
    started_tool first = start_tool(dir, {"src0", device});
    started_tool second = start_tool(dir, {"src1", device});
    bool timed_out = false;
    for (started_tool* run : {&first, &second}) {
        tool_run r = finish_tool(*run, EACH_RUN_TIMEOUT_MS, &timed_out);
        EXPECT_FALSE(timed_out);
        EXPECT_EQ(r.status, 0) << r.out;
    }
    std::string left = read_file(path("disk"));
    EXPECT_TRUE(std::find(outputs.begin(), outputs.end(), left) != outputs.end())
        << "the device holds no one run's output";
}

} // namespace
