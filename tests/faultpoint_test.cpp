// SPDX-License-Identifier: MIT
// Every file-system call of a run, one at a time, stopped or failed: the
// inputs stay whole and DEST is finished or plainly not, and after a failure
// or a caught stop holds none of its old bytes.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>
#include <tuple>

#include "harness.h"

namespace {

constexpr std::size_t KIB = 1024;

struct scenario {
    const char* name;
    std::size_t insert; // IP.BIN's size
    std::size_t source;
    std::size_t hole;  // zeros in SOURCE's middle, left unwritten
    long long old;     // an old DEST's size, -1 for none
    std::string where; // "pipe": SOURCE piped, "loop": DEST a device, "ntfs": files on FUSE
};

const scenario SCENARIOS[] = {
    {"NewDest", 4000, 300 * KIB, 0, -1, ""},
    {"ShorterOldDest", 40000, 300 * KIB, 0, 100 * KIB, ""},
    {"SameLengthOldDest", 4000, 300 * KIB, 0, 300 * KIB, ""},
    {"LongerOldDest", 4000, 300 * KIB, 0, 500 * KIB, ""},
    {"SparseSource", 4000, 4160 * KIB, 4096 * KIB, 4224 * KIB, ""},
    {"SmallSource", 40000, 20000, 0, 50000, ""},
    {"PipedSource", 4000, 300 * KIB, 0, 500 * KIB, "pipe"},
    {"LoopDeviceDest", 4000, 300 * KIB, 0, 1024 * KIB, "loop"},
    {"HiddenHoles", 4000, 4160 * KIB, 4096 * KIB, 4224 * KIB, "ntfs"},
};

enum kind { KILLED, TERMINATED, FAILED };
// Calls that may report a full disk: close does on network file systems.
const std::set<std::string> WRITING = {"write",           "pwrite64",  "writev",
                                       "copy_file_range", "fallocate", "ftruncate",
                                       "fsync",           "fdatasync", "close"};
// A seek that a file system does not support, as one without holes says.
const std::set<std::string> SEEKING = {"lseek"};
struct mode {
    const char* injection;
    kind how;
    const std::set<std::string>* only; // the calls it applies to; null: all
    const char* group;                 // one test each, so that none runs long
};
const mode MODES[] = {{"signal=KILL", KILLED, nullptr, "Killed"},
                      {"signal=TERM", TERMINATED, nullptr, "Terminated"},
                      {"error=EIO", FAILED, nullptr, "FailedWithEio"},
                      {"error=ENOSPC", FAILED, &WRITING, "Refused"},
                      {"error=EINVAL", FAILED, &SEEKING, "Refused"}};
const char* const GROUPS[] = {"Killed", "Terminated", "FailedWithEio", "Refused"};

using fault_case = std::tuple<scenario, const char*>;

void PrintTo(const scenario& s, std::ostream* os)
{
    *os << s.name;
}

class FaultPoint : public ToolTest, public ::testing::WithParamInterface<fault_case> {};

TEST_P(FaultPoint, LeavesDestFinishedOrPlainlyNot)
{
    SKIP_UNLESS_STRACE();
    if (!tool_is_native())
        GTEST_SKIP() << "strace must see the tool's own calls, not an emulator's";
    const scenario& s = std::get<0>(GetParam());
    const std::string group = std::get<1>(GetParam());
    std::string why;
    std::string base = s.where == "ntfs" ? mount_ntfs(&why) : dir;
    if (base.empty())
        GTEST_SKIP() << why;
    std::string insert = pattern(s.insert, 1);
    std::string source = pattern(s.source, 2).replace((s.source - s.hole) / 2, s.hole, s.hole, 0);
    std::string old = s.old < 0 ? "" : pattern(static_cast<std::size_t>(s.old), 3);
    std::string src = s.where == "pipe" ? "/dev/stdin" : base + "/src";
    std::string dst = base + "/dst";
    if (s.where == "loop") {
        write_file(path("disk"), old);
        if ((dst = attach_loop(path("disk"), &why)).empty())
            GTEST_SKIP() << why;
    }
    std::string expected = expected_output(source, insert);
    std::string unsealed = unsealed_output(source, insert);
    std::size_t head = std::min({s.insert, std::size_t{32768}, s.source});

    // Rewritten only when a run changed them, which the check tells.
    bool inputs_whole = false;
    auto attempt = [&](const std::vector<std::string>& wrapper) {
        if (!inputs_whole)
            write_file(path("IP.BIN"), insert);
        if (!inputs_whole && s.where != "pipe")
            write_sparse(src, source);
        if (s.old < 0)
            unlink(dst.c_str());
        else
            write_file(dst, old);
        return run({src, dst}, {wrapper, s.where == "pipe" ? &source : nullptr, {NO_LEAK_CHECK}});
    };
    std::vector<std::string> failures;
    auto check = [&](const tool_run& r, const std::string& point, const mode* m) {
        std::string got = read_file(dst);
        if (s.where == "loop") // a device keeps its old bytes past SOURCE's length
            got.resize(std::min(got.size(), source.size()));
        bool exact = got == expected;
        std::string wrong;
        inputs_whole =
            read_file(path("IP.BIN")) == insert && (s.where == "pipe" || read_file(src) == source);
        if (!inputs_whole)
            wrong += " an input changed;";
        // A report that standard output could not take is lost, not a failure.
        bool report_lost = point.find("[write(1<") != std::string::npos;
        if (r.status == 0 && (!exact || (r.out != success_report(r.name) && !report_lost)))
            wrong += " status 0 without both the report and an exact DEST;";
        bool looks_done = got.size() == source.size() && got.compare(0, head, insert, 0, head) == 0;
        if (!exact && looks_done)
            wrong += " DEST looks finished but is wrong;";
        // Told a failure, a user takes DEST for unfinished: it must not look done.
        // A device keeps its bytes: one that fails after its head is laid stays
        // looking done, which only a zeroed head again could undo.
        if (m != nullptr && m->how == FAILED && r.signal == 0 && r.status != 0 && looks_done &&
            s.where != "loop")
            wrong += " failed, yet DEST is at full length with its head in place;";
        if (!exact && m != nullptr && m->how == TERMINATED && r.signal != SIGTERM)
            wrong += " not ended by SIGTERM;";
        if (!exact && m != nullptr && m->how == FAILED && (r.status == 0 || r.out.empty()))
            wrong += " no message and failure status;";
        // Untouched, as when DEST could not be probed and may be an input, or
        // cut back to what this run wrote; a device keeps its old bytes.
        bool cut_back = got == old || (got.size() <= unsealed.size() &&
                                       unsealed.compare(0, got.size(), got) == 0);
        if (!exact && s.where != "loop" && m != nullptr && m->how != KILLED && !cut_back)
            wrong += " old bytes left or not cut back;";
        std::string out = r.out;
        std::replace(out.begin(), out.end(), '\n', '|');
        if (!wrong.empty())
            failures.push_back(point + " " + (m ? m->injection : "clean") + ": status " +
                               std::to_string(r.status) + ", DEST " + std::to_string(got.size()) +
                               " bytes:" + wrong + " stdout \"" + out + "\"");
    };

    std::string log = path("trace.log");
    tool_run clean = attempt({"strace", "-qq", "-o", log, "-e", "trace=%file,%desc", "-y"});
    check(clean, "no fault", nullptr);
    ASSERT_EQ(clean.status, 0) << clean.out;
    std::istringstream lines(read_file(log));
    std::map<std::string, int> seen;
    bool started = false;
    int points = 0;
    for (std::string line; std::getline(lines, line);) {
        std::string call = line.substr(0, line.find('('));
        if (call.empty() ||
            call.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") != std::string::npos)
            continue;
        std::string when = std::to_string(++seen[call]);
        started = started || line.find("\"IP.BIN\"") != std::string::npos;
        // Anonymous memory is the allocator's business, not the file system's.
        if (!started || call == "mmap" || call == "munmap")
            continue;
        for (const mode& m : MODES)
            if (m.group == group && (m.only == nullptr || m.only->count(call) != 0)) {
                ++points;
                std::string inject = call + ":" + m.injection + ":when=" + when;
                check(attempt(under_strace(inject).wrapper),
                      call + " #" + when + " [" + line.substr(0, 60) + "]", &m);
            }
    }
    RecordProperty("fault_points", points);
    std::string all;
    for (const std::string& f : failures)
        all += "\n  " + f;
    EXPECT_TRUE(failures.empty()) << s.name << " " << group << ": " << failures.size() << " of " << points
                                  << " fault points break the contract:" << all;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, FaultPoint,
                         ::testing::Combine(::testing::ValuesIn(SCENARIOS),
                                            ::testing::ValuesIn(GROUPS)),
                         [](const auto& p) {
                             return std::string(std::get<0>(p.param).name) + "_" +
                                    std::get<1>(p.param);
                         });

} // namespace
