// SPDX-License-Identifier: MIT
// A device DEST written behind the copy: pushed along the way rather than
// held whole in memory, all of it on the device before the head, and a push
// that fails is a failed write that leaves the head unlaid.
#include <algorithm>
#include <regex>
#include <sstream>

#include "harness.h"

namespace {

using DeviceWriteBehind = ToolTest;

constexpr long long MIB = 1024 * 1024;

// Each call that pushes the device, from a trace: whether it names a range,
// how far it waited for the bytes to be on the device (0 for one that only
// starts them), and how many bytes had been written to it by then.
struct push {
    bool ranged;
    long long waited_to;
    long long written;
};

std::vector<push> pushes(const std::string& log, const std::string& device)
{
    std::vector<push> found;
    std::istringstream lines(log);
    long long written = 0;
    // strace -f starts each line with the pid.
    const std::regex write("^(\\d+ +)?write\\(\\d+<" + device + ">, .*\\)\\s+= (\\d+)");
    const std::regex ranged("^(\\d+ +)?sync_file_range\\(\\d+<" + device +
                            ">, (\\d+), (\\d+), (.*)\\)\\s+= ");
    const std::regex whole("^(\\d+ +)?fsync\\(\\d+<" + device + ">\\)\\s+= ");
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (std::regex_search(line, m, write))
            written += std::stoll(m[2]);
        else if (std::regex_search(line, m, ranged))
            found.push_back({true,
                             m[4].str().find("WAIT_AFTER") != std::string::npos
                                 ? std::stoll(m[2]) + std::stoll(m[3])
                                 : 0,
                             written});
        else if (std::regex_search(line, whole))
            found.push_back({false, written, written});
    }
    return found;
}

// A device is pushed along the way, so that the copy never holds all of it
// in memory (bench/device.sh measures how much it holds), and all of it is
// on the device before the head; a push that fails fails the run.
TEST_F(DeviceWriteBehind, PushesAlongTheWayAndAFailedPushIsAFailedWrite)
{
    SKIP_UNLESS_TRACEABLE();
    std::string insert = pattern(32768, 1);
    write_file(path("IP.BIN"), insert);
    // Not a whole number of pieces, so that the last one is short.
    std::string source = pattern(64 * MIB + 4096 + 77, 2);
    write_file(path("src"), source);
    ASSERT_EQ(shell("truncate -s 80M " + path("disk")), 0);
    std::string why;
    std::string device = attach_loop(path("disk"), &why);
    if (device.empty())
        GTEST_SKIP() << why;

    std::string log;
    run_options traced;
    traced.traced_files = {device};
    traced.trace = &log;
    tool_run clean = run({"src", device}, traced);
    ASSERT_EQ(clean.status, 0) << clean.out;
    EXPECT_TRUE(read_file(device).substr(0, source.size()) == expected_output(source, insert));
    std::vector<push> seen = pushes(log, device);
    long long pushed = 0;
    long long most_held = 0;
    for (const push& p : seen) {
        most_held = std::max(most_held, p.written - pushed);
        pushed = std::max(pushed, p.waited_to);
    }
    EXPECT_LT(most_held, static_cast<long long>(source.size())) << log;
    EXPECT_GE(pushed, static_cast<long long>(source.size()));

    // Before the head is laid, a push that waits and fails fails the run and
    // leaves the head unlaid; one that only starts the writing is waited for
    // again later. The first that starts, the first that waits and the last.
    bool linux_calls = tool_makes_linux_calls();
    struct fault {
        int when;
        bool waits;
    };
    std::vector<fault> before_head;
    int when = 0;
    for (const push& p : seen)
        if (p.ranged == linux_calls && ++when > 0 &&
            p.written <= static_cast<long long>(source.size()))
            before_head.push_back({when, p.waited_to != 0 || !p.ranged});
    auto waits = [](const fault& f) { return f.waits; };
    auto starts = std::find_if_not(before_head.begin(), before_head.end(), waits);
    auto first_wait = std::find_if(before_head.begin(), before_head.end(), waits);
    auto last_wait = std::find_if(before_head.rbegin(), before_head.rend(), waits);
    std::vector<fault> faults;
    if (starts != before_head.end())
        faults.push_back(*starts);
    if (first_wait != before_head.end())
        faults.push_back(*first_wait);
    if (last_wait != before_head.rend() && last_wait->when != first_wait->when)
        faults.push_back(*last_wait);
    ASSERT_FALSE(faults.empty());
    for (const fault& f : faults) {
        std::string injection = std::string(linux_calls ? "sync_file_range" : "fsync") +
                                ":error=EIO:when=" + std::to_string(f.when);
        SCOPED_TRACE(injection);
        ASSERT_EQ(
            shell("dd if=/dev/zero of=" + device + " bs=32768 count=1 conv=fsync status=none"), 0);
        tool_run r = run({"src", device}, under_strace(injection, {device}));
        std::string head = read_file(device).substr(0, insert.size());
        if (f.waits) {
            EXPECT_EQ(r.out, r.name + ": Je ne peux pas ecrire " + device + "\n");
            EXPECT_EQ(r.status, 249);
            EXPECT_FALSE(head == insert) << "a failed run looks done";
        } else {
            EXPECT_EQ(r.status, 0) << r.out;
            EXPECT_TRUE(head == insert);
        }
    }
}

} // namespace
