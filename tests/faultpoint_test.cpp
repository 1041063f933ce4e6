// SPDX-License-Identifier: MIT
// Every file-system call of a run, one at a time, stopped or failed: the
// inputs stay whole and DEST is finished or plainly not, and after a failure
// or a caught stop holds none of its old bytes.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "harness.h"

namespace {

constexpr std::size_t KIB = 1024;

struct scenario {
    const char* name;
    std::size_t insert; // IP.BIN's size
    std::size_t source;
    std::size_t hole;  // zeros in SOURCE's middle, left unwritten
    long long old;     // an old DEST's size, -1 for none
    std::string where; // "pipe": SOURCE piped, "loop": DEST a device, "ntfs": files on FUSE,
                       // "fuse": DEST on a FUSE file system that passes its files through
    // Tests that share its points, taking them in turn, so that none runs long.
    int shares = 1;
};

const scenario SCENARIOS[] = {
    {"NewDest", 4000, 300 * KIB, 0, -1, ""},
    {"ShorterOldDest", 40000, 300 * KIB, 0, 100 * KIB, ""},
    {"SameLengthOldDest", 4000, 300 * KIB, 0, 300 * KIB, ""},
    {"LongerOldDest", 4000, 300 * KIB, 0, 500 * KIB, ""},
    {"SparseSource", 4000, 2112 * KIB, 2048 * KIB, 2176 * KIB, "", 3},
    {"SmallSource", 40000, 20000, 0, 50000, ""},
    {"PipedSource", 4000, 300 * KIB, 0, 500 * KIB, "pipe"},
    {"LoopDeviceDest", 4000, 300 * KIB, 0, 1024 * KIB, "loop", 4},
    {"HiddenHoles", 4000, 2112 * KIB, 2048 * KIB, 2176 * KIB, "ntfs", 4},
    // DEST where nothing can tell whether it shows an input: checked by effect.
    {"UnsureDest", 4000, 200 * KIB, 0, 250 * KIB, "fuse"},
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

struct fault_case {
    scenario s;
    std::string group;
    int share; // which of the scenario's shares of points, from 0
};

std::vector<fault_case> fault_cases()
{
    std::vector<fault_case> cases;
    for (const scenario& s : SCENARIOS)
        for (const char* group : GROUPS)
            for (int share = 0; share < s.shares; ++share)
                cases.push_back({s, group, share});
    return cases;
}

std::string case_name(const fault_case& c)
{
    std::string name = std::string(c.s.name) + "_" + c.group;
    return c.s.shares == 1
               ? name
               : name + "_" + std::to_string(c.share + 1) + "Of" + std::to_string(c.s.shares);
}

void PrintTo(const fault_case& c, std::ostream* os)
{
    *os << case_name(c);
}

class FaultPoint : public ToolTest, public ::testing::WithParamInterface<fault_case> {};

TEST_P(FaultPoint, LeavesDestFinishedOrPlainlyNot)
{
    SKIP_UNLESS_STRACE();
    if (!tool_is_native())
        GTEST_SKIP() << "strace must see the tool's own calls, not an emulator's";
    const scenario& s = GetParam().s;
    const std::string& group = GetParam().group;
    std::string why;
    std::string base = s.where == "ntfs" ? mount_ntfs(&why) : dir;
    std::string fuse = s.where == "fuse" ? mount_failfs(1LL << 40, &why) : dir;
    if (base.empty() || fuse.empty())
        GTEST_SKIP() << why;
    std::string insert = pattern(s.insert, 1);
    std::string source = pattern(s.source, 2).replace((s.source - s.hole) / 2, s.hole, s.hole, 0);
    std::string old = s.old < 0 ? "" : pattern(static_cast<std::size_t>(s.old), 3);
    std::string src = s.where == "pipe" ? "/dev/stdin" : base + "/src";
    std::string dst = fuse == dir ? base + "/dst" : fuse + "/dst";
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
    bool dest_old = false;
    auto attempt = [&](const std::vector<std::string>& wrapper) {
        if (!inputs_whole)
            write_file(path("IP.BIN"), insert);
        if (!inputs_whole && s.where != "pipe")
            write_sparse(src, source);
        if (s.old < 0)
            unlink(dst.c_str());
        else if (!dest_old)
            write_file(dst, old);
        return run({src, dst}, {wrapper, s.where == "pipe" ? &source : nullptr, {NO_LEAK_CHECK}});
    };
    std::vector<std::string> failures;
    auto check = [&](const tool_run& r, const std::string& point, const mode* m) {
        std::string got = read_file(dst);
        if (s.where == "loop") // a device keeps its old bytes past SOURCE's length
            got.resize(std::min(got.size(), source.size()));
        bool exact = got == expected;
        dest_old = s.where != "loop" && s.old >= 0 && got == old;
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
        // Told a failure, a user takes DEST for unfinished: it must not look
        // done; a device, which cannot be emptied, gets its head zeroed again.
        if (m != nullptr && m->how == FAILED && r.signal == 0 && r.status != 0 && looks_done)
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
    int met = 0; // points of this group met so far, this test's share or not
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
            if (m.group == group && (m.only == nullptr || m.only->count(call) != 0) &&
                met++ % s.shares == GetParam().share) {
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
    EXPECT_TRUE(failures.empty()) << s.name << " " << group << ": " << failures.size() << " of "
                                  << points << " fault points break the contract:" << all;
}

// A device's late write errors show only once its bytes are flushed: the
// flush must come after the last write of the body and before the head
// makes it look done, as the traced calls tell in their order.
struct device_call {
    enum { WRITE, FLUSH, OTHER } kind;
    long long offset; // where a write went
};

// One traced line on the device, or OTHER; *position follows its seeks.
device_call read_device_call(const std::string& line, const std::string& device, long long size,
                             long long* position)
{
    static const std::regex call(R"(^(\w+)\(\d+<([^>]*)>(.*)\)\s+= (-?\d+))");
    std::smatch m;
    if (!std::regex_search(line, m, call) || m[2] != device || std::stoll(m[4]) < 0)
        return {device_call::OTHER, 0};
    std::string name = m[1];
    std::string args = m[3];
    long long result = std::stoll(m[4]);
    if (name == "lseek")
        *position = result;
    if (name == "fsync" || name == "fdatasync")
        return {device_call::FLUSH, 0};
    if (name == "sync_file_range") {
        // Waited for from offset 0 over the whole device (0: to its end); a
        // range over the body alone leaves the rest of the device unflushed.
        std::smatch r;
        static const std::regex range(R"(^, (\d+), (\d+), (.*))");
        bool whole = std::regex_search(args, r, range) && r[1] == "0" &&
                     (r[2] == "0" || std::stoll(r[2]) >= size) &&
                     r[3].str().find("WAIT_AFTER") != std::string::npos &&
                     r[3].str().find("WRITE") != std::string::npos;
        return {whole ? device_call::FLUSH : device_call::OTHER, 0};
    }
    if (name == "pwrite64")
        return {device_call::WRITE, std::stoll(args.substr(args.rfind(", ") + 2))};
    if (name == "write" || name == "writev") {
        long long at = *position;
        *position += result;
        return {device_call::WRITE, at};
    }
    return {device_call::OTHER, 0};
}

using DeviceFlush = ToolTest;

TEST_F(DeviceFlush, ComesAfterTheBodyAndBeforeTheHead)
{
    SKIP_UNLESS_STRACE();
    if (!tool_is_native())
        GTEST_SKIP() << "strace must see the tool's own calls, not an emulator's";
    constexpr std::size_t MIB = 1024 * KIB;
    std::string insert = pattern(32768, 1);
    std::string source = pattern(3 * MIB + 77, 2);
    write_file(path("IP.BIN"), insert);
    write_file(path("src"), source);
    constexpr std::size_t DISK = 8 * MIB;
    write_file(path("disk"), pattern(DISK, 3));
    std::string why;
    std::string device = attach_loop(path("disk"), &why);
    if (device.empty())
        GTEST_SKIP() << why;
    std::string log = path("order.log");
    tool_run r =
        run({"src", device}, {{"strace", "-qq", "-y", "-o", log, "-e",
                               "trace=write,writev,pwrite64,lseek,fsync,fdatasync,sync_file_range"},
                              nullptr,
                              {NO_LEAK_CHECK}});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(read_file(device).substr(0, source.size()) == expected_output(source, insert));
    std::vector<device_call> calls;
    std::istringstream lines(read_file(log));
    long long position = 0;
    for (std::string line; std::getline(lines, line);)
        calls.push_back(read_device_call(line, device, DISK, &position));
    // The head is the last write at offset 0; the body, every write before it.
    auto is_head = [](const device_call& c) {
        return c.kind == device_call::WRITE && c.offset == 0;
    };
    auto head = std::find_if(calls.rbegin(), calls.rend(), is_head);
    ASSERT_NE(head, calls.rend()) << "no write at offset 0 of " << device << ":\n"
                                  << read_file(log);
    auto body_end = std::find_if(std::next(head), calls.rend(),
                                 [](const device_call& c) { return c.kind == device_call::WRITE; });
    ASSERT_NE(body_end, calls.rend()) << "no body written before the head:\n" << read_file(log);
    bool flushed = std::any_of(std::next(head), body_end,
                               [](const device_call& c) { return c.kind == device_call::FLUSH; });
    EXPECT_TRUE(flushed) << "no flush of " << device
                         << " between its last body write and its head:\n"
                         << read_file(log);
}

// The index, among all the traced close calls, of the last close of the
// descriptor that wrote the device's head; 0 if none was seen.
int head_writer_close(const std::string& log, const std::string& device)
{
    static const std::regex call(R"(^(\w+)\((\d+)<([^>]*)>, (.*)\)\s+= (-?\d+))");
    static const std::regex close_call(R"(^close\((\d+)<([^>]*)>\))");
    std::istringstream lines(log);
    std::string writer;
    int index = 0;
    int found = 0;
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (std::regex_search(line, m, close_call)) {
            ++index;
            if (m[1] == writer && m[2] == device)
                found = index;
        } else if (std::regex_search(line, m, call) && m[3] == device &&
                   (m[1] == "write" || m[1] == "pwrite64")) {
            writer = m[2];
        }
    }
    return found;
}

// A close that fails may have lost writes, and one that cannot first be
// undone is not tried until DEST is undone: a file is left empty, a device
// with its laid head zeroed and the rest as the run wrote it.
TEST_F(DeviceFlush, FailedCloseLeavesDestPlainlyUnfinished)
{
    SKIP_UNLESS_STRACE();
    if (!tool_is_native())
        GTEST_SKIP() << "strace must see the tool's own calls, not an emulator's";
    std::string insert = pattern(5000, 1);
    std::string source = pattern(70000, 2);
    write_file(path("IP.BIN"), insert);
    write_file(path("src"), source);
    std::string old = pattern(1024 * KIB, 3);
    write_file(path("disk"), old);
    std::string why;
    std::string device = attach_loop(path("disk"), &why);
    if (device.empty())
        GTEST_SKIP() << why;
    struct fault {
        const char* what;
        bool to_device;
        bool at_close; // else the spare that would undo it cannot be had
    };
    for (const fault& f : {fault{"file, no spare", false, false},
                           fault{"device, failed close", true, true},
                           fault{"device, no spare", true, false}}) {
        SCOPED_TRACE(f.what);
        std::string dst = f.to_device ? device : path("dst");
        std::string injection = "dup:error=EMFILE";
        if (f.at_close) {
            std::string log = path("close.log");
            tool_run traced = run({"src", dst}, {{"strace", "-qq", "-y", "-o", log, "-e",
                                                  "trace=close,write,pwrite64"},
                                                 nullptr,
                                                 {NO_LEAK_CHECK}});
            ASSERT_EQ(traced.status, 0) << traced.out;
            int when = head_writer_close(read_file(log), dst);
            ASSERT_GT(when, 0) << "the close of " << dst << " was not seen:\n" << read_file(log);
            injection = "close:error=EIO:when=" + std::to_string(when);
        }
        write_file(f.to_device ? dst : path("dst"), f.to_device ? old : "");
        tool_run r = run({"src", dst}, under_strace(injection));
        EXPECT_EQ(r.out, r.name + ": Je ne peux pas ecrire " + dst + "\n");
        EXPECT_EQ(r.status, 249);
        std::string left = read_file(dst);
        if (!f.to_device) {
            EXPECT_EQ(left.size(), 0U);
            continue;
        }
        std::string unfinished = expected_output(source, insert)
                                     .replace(0, insert.size(), insert.size(), '\0') +
                                 old.substr(source.size());
        EXPECT_TRUE(left == unfinished) << "the device is not its copy with its head zeroed";
    }
}

INSTANTIATE_TEST_SUITE_P(Scenarios, FaultPoint, ::testing::ValuesIn(fault_cases()),
                         [](const auto& p) { return case_name(p.param); });

} // namespace
