// SPDX-License-Identifier: MIT
// The progress line of a run onto a device as slow as a USB stick, whose
// pace the test sets: through a stall the test holds, the line moves and
// tells it, and Ctrl-C ends the run before the stall is lifted; time spent
// stopped counts in nothing; a narrow terminal keeps the share done. Each
// step waits for what the line shows, never for a set time.
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <regex>
#include <set>

#include "terminal_runs.h"
#include "test_config.h"

namespace {

constexpr long long MIB = 1024 * 1024;
constexpr long long GIB = 1024 * MIB;

// The rate a line shows, in bytes a second, or -1.
double rate_of(const std::string& line)
{
    static const std::regex rate(", ([0-9.]+) (o|Kio|Mio|Gio)/s");
    std::smatch m;
    if (!std::regex_search(line, m, rate))
        return -1;
    double scale = m[2] == "o" ? 1 : m[2] == "Kio" ? 1024 : m[2] == "Mio" ? MIB : GIB;
    return std::stod(m[1]) * scale;
}

// A loop device throttled by cgroup v1's blkio controller, for a run of the
// tool to write to as slowly as a USB stick: the tool runs in its group.
struct throttle {
    std::string group; // the cgroup's folder; "" when none could be made
    std::string device_number;
    std::string why;
};

constexpr const char* BLKIO = "/sys/fs/cgroup/blkio";

throttle make_throttle(const std::string& device, const std::string& name)
{
    throttle t;
    struct stat info;
    if (access((std::string(BLKIO) + "/blkio.throttle.write_bps_device").c_str(), W_OK) != 0) {
        t.why = std::string("no writable cgroup v1 blkio controller with throttling at ") + BLKIO;
        return t;
    }
    if (stat(device.c_str(), &info) != 0) {
        t.why = "cannot stat " + device;
        return t;
    }
    t.device_number =
        std::to_string(major(info.st_rdev)) + ":" + std::to_string(minor(info.st_rdev));
    std::string group = std::string(BLKIO) + "/" + name + "-" + std::to_string(getpid());
    if (mkdir(group.c_str(), 0755) != 0) {
        t.why = "cannot make the cgroup " + group;
        return t;
    }
    t.group = group;
    return t;
}

// The shell command that sets the group's write rate to bytes a second.
std::string set_rate(const throttle& t, long long bytes)
{
    return "echo '" + t.device_number + " " + std::to_string(bytes) + "' >" + t.group +
           "/blkio.throttle.write_bps_device";
}

// The shell command that lets the group's writes through at most once a
// second (a stall: the run waits for far more), or as often as they come
// (0). Unlike a lower rate, lifted at once, writes already waiting too.
std::string set_stall(const throttle& t, bool stalled)
{
    return "echo '" + t.device_number + (stalled ? " 1" : " 0") + "' >" + t.group +
           "/blkio.throttle.write_iops_device";
}

constexpr long long STICK_RATE = 2 * MIB;
// Room for every field of the line.
constexpr unsigned short WIDE_COLUMNS = 100;

// How long a line says that nothing has moved, in seconds, or -1.
int stalled_for(const std::string& line)
{
    static const std::regex stall(", bloque depuis ([0-9]+) s");
    std::smatch m;
    return std::regex_search(line, m, stall) ? std::stoi(m[1]) : -1;
}

// Lines that tell a rate, from the first'th on.
std::size_t lines_with_a_rate(const std::vector<timed_line>& lines, std::size_t first = 0)
{
    return static_cast<std::size_t>(
        std::count_if(lines.begin() + static_cast<long>(std::min(first, lines.size())), lines.end(),
                      [](const timed_line& l) { return rate_of(l.text) >= 0; }));
}

// The tool started on src and the device, as given.
std::vector<std::string> tool_onto(const std::string& device)
{
    std::vector<std::string> argv(std::begin(TOOL_COMMAND), std::end(TOOL_COMMAND));
    argv.insert(argv.end(), {"src", device});
    return argv;
}

class ThrottledDevice : public ToolTest {
  protected:
    void TearDown() override
    {
        // Its processes have ended: the tool has, and the group holds no other.
        if (!group.empty())
            rmdir(group.c_str());
        ToolTest::TearDown();
    }
    std::string group;
    // IP.BIN, a source of 48 MiB and a loop device for DEST throttled to
    // STICK_RATE; a group whose folder is empty, with the reason, when this
    // machine cannot.
    throttle slow_stick(std::string& device)
    {
        write_file(path("IP.BIN"), pattern(32768, 1));
        write_file(path("src"), pattern(48 * MIB, 2));
        throttle t;
        if (shell("truncate -s 64M " + path("disk")) != 0)
            t.why = "cannot make the loop device's file";
        else
            device = attach_loop(path("disk"), &t.why);
        if (device.empty())
            return t;
        t = make_throttle(
            device,
            "talvor-" +
                std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        group = t.group;
        if (!t.group.empty() && shell(set_rate(t, STICK_RATE)) != 0)
            t = {"", "", "cannot throttle " + device};
        return t;
    }
};

// The device stalls once the copy is under way: the line goes on, saying
// for how long nothing has moved, and its rate falls to what moved over its
// span. Once the device moves again, Ctrl-C ends the run (the kernel
// writes what the run gave it before the process can end, as it must).
TEST_F(ThrottledDevice, LineMovesThroughAStallAndCtrlCEndsTheRun)
{
    SKIP_UNLESS_POSIX_TOOL();
    std::string device;
    throttle t = slow_stick(device);
    if (t.group.empty())
        GTEST_SKIP() << t.why;
    // The rate is taken over RATE_SPAN seconds: once nothing has moved for
    // longer, nothing moved over its span.
    constexpr int RATE_SPAN = 3;
    double before = -1;
    std::size_t stall_from = 0;
    std::string stalled_line;
    std::vector<drive_step> steps = {
        {[](const run_view& v) { return lines_with_a_rate(v.lines) >= 2; },
         [&](const run_view& v) {
             before = rate_of(v.lines.back().text);
             stall_from = v.lines.size();
             EXPECT_EQ(shell(set_stall(t, true)), 0);
         }},
        {[&](const run_view& v) {
             return v.lines.size() > stall_from && stalled_for(v.lines.back().text) > RATE_SPAN;
         },
         [&](const run_view& v) {
             stalled_line = v.lines.back().text;
             stall_from = v.lines.size();
             EXPECT_EQ(shell(set_stall(t, false)), 0);
         }},
        {[&](const run_view& v) {
             return v.lines.size() > stall_from && stalled_for(v.lines.back().text) < 0;
         },
         [](const run_view& v) { kill(v.pid, SIGINT); }}};
    driven_run r =
        drive_on_terminal(dir, tool_onto(device), WIDE_COLUMNS, t.group + "/cgroup.procs", steps,
                          [&] { shell(set_stall(t, false)); });
    std::string shown = lines_shown(r.lines);
    EXPECT_EQ(r.status, 128 + SIGINT) << shown;
    std::set<int> stalls;
    for (const timed_line& l : r.lines)
        if (stalled_for(l.text) >= 0)
            stalls.insert(stalled_for(l.text));
    EXPECT_GE(stalls.size(), 2U) << "the line stood still through the stall\n" << shown;
    EXPECT_GT(before, 0) << shown;
    EXPECT_LT(rate_of(stalled_line), before / 2) << "the rate did not fall in the stall\n" << shown;
    EXPECT_EQ(play(r.screen).last, "") << "the line is left on the screen\n" << shown;
}

// A stop (here SIGSTOP, as Ctrl-Z stops and fg continues) counts neither in
// the rate nor in the time left, nor as a stall.
TEST_F(ThrottledDevice, TimeStoppedCountsNeitherInTheRateNorInTheTimeLeft)
{
    SKIP_UNLESS_POSIX_TOOL();
    std::string device;
    throttle t = slow_stick(device);
    if (t.group.empty())
        GTEST_SKIP() << t.why;
    // Longer than the line takes to call a stall, and than the rate's span.
    constexpr useconds_t STOPPED_US = 3500000;
    double before = -1;
    std::size_t resumed_from = 0;
    std::vector<drive_step> steps = {
        {[](const run_view& v) { return lines_with_a_rate(v.lines) >= 2; },
         [&](const run_view& v) {
             before = rate_of(v.lines.back().text);
             kill(v.pid, SIGSTOP);
             usleep(STOPPED_US);
             resumed_from = v.lines.size();
             kill(v.pid, SIGCONT);
         }},
        {[&](const run_view& v) { return lines_with_a_rate(v.lines, resumed_from) >= 2; },
         [](const run_view& v) { kill(v.pid, SIGINT); }}};
    driven_run r =
        drive_on_terminal(dir, tool_onto(device), WIDE_COLUMNS, t.group + "/cgroup.procs", steps);
    std::string shown = lines_shown(r.lines);
    EXPECT_EQ(r.status, 128 + SIGINT) << shown;
    EXPECT_GT(before, 0) << shown;
    for (std::size_t i = resumed_from; i < r.lines.size(); ++i) {
        const std::string& line = r.lines[i].text;
        EXPECT_EQ(line.find("bloque"), std::string::npos) << "the stop was a stall\n" << shown;
        if (rate_of(line) >= 0) {
            EXPECT_GT(rate_of(line), before / 2) << "the time stopped lowered the rate\n" << shown;
        }
    }
}

// Started by a long path on a narrow terminal, the line starts with the
// tool's own name while it fits, and keeps the share done and the time left
// longest.
TEST_F(ThrottledDevice, FitsANarrowTerminalKeepingTheShareDoneAndTheTimeLeft)
{
    SKIP_UNLESS_POSIX_TOOL();
    std::string device;
    throttle t = slow_stick(device);
    if (t.group.empty())
        GTEST_SKIP() << t.why;
    std::vector<std::string> argv = tool_onto(device);
    std::string& tool = argv[argv.size() - 3];
    std::string started_as = path("opt/tools/bin/talvor");
    ASSERT_EQ(shell("mkdir -p " + path("opt/tools/bin") + " && ln -s '" + tool + "' " + started_as),
              0);
    tool = started_as;
    struct narrow_case {
        unsigned short columns;
        bool name;
        bool time_left;
    };
    for (const narrow_case& c : {narrow_case{200, true, true}, narrow_case{80, true, true},
                                 narrow_case{40, false, true}, narrow_case{20, false, false}}) {
        SCOPED_TRACE(std::to_string(c.columns) + " columns");
        driven_run r = drive_on_terminal(dir, argv, c.columns, t.group + "/cgroup.procs",
                                         {{[](const run_view& v) { return v.lines.size() >= 2; },
                                           [](const run_view& v) { kill(v.pid, SIGINT); }}});
        std::string shown = lines_shown(r.lines);
        EXPECT_EQ(r.status, 128 + SIGINT) << shown;
        ASSERT_FALSE(r.lines.empty()) << shown;
        for (const timed_line& l : r.lines) {
            EXPECT_LT(l.text.size(), c.columns) << shown;
            // After Ctrl-C, the line says what the run waits for.
            if (l.text.find("arret demande") != std::string::npos)
                continue;
            EXPECT_NE(l.text.find('%'), std::string::npos) << shown;
            if (c.name) {
                EXPECT_EQ(l.text.rfind("talvor: ", 0), 0U) << shown;
            }
            if (c.time_left) {
                EXPECT_NE(l.text.find(", encore "), std::string::npos) << shown;
            }
        }
    }
}

} // namespace
