// SPDX-License-Identifier: MIT
// Every call of a run on IP.BIN, SOURCE or DEST, one at a time, stopped or
// failed: the inputs stay whole and DEST is finished or plainly not, and
// after a failure or a caught stop holds none of its old bytes. Each fault
// must take effect: a stop ends the run by its signal, an error shows in
// strace's log, and a failure's reason is the error injected.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>

#include "faults.h"
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
    {"SparseSource", 4000, 2112 * KIB, 2048 * KIB, 2176 * KIB, "", 2},
    {"SmallSource", 40000, 20000, 0, 50000, ""},
    {"PipedSource", 4000, 300 * KIB, 0, 500 * KIB, "pipe"},
    {"LoopDeviceDest", 4000, 300 * KIB, 0, 1024 * KIB, "loop", 2},
    {"HiddenHoles", 4000, 2112 * KIB, 2048 * KIB, 2176 * KIB, "ntfs", 3},
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

// A file whose calls are counted apart: the names strace knows it by.
struct target {
    const char* what;
    std::vector<std::string> paths;
};

class FaultPoint : public ToolTest, public ::testing::WithParamInterface<fault_case> {
  protected:
    // The scenario's files and what a run must make of them.
    std::string insert, source, old, src, dst, expected, unsealed;
    std::size_t head = 0;
    // Rewritten only when a run changed them, which the check tells.
    bool inputs_whole = false;
    bool dest_old = false;
    std::vector<std::string> failures;

    const scenario& s() const
    {
        return GetParam().s;
    }
    tool_run attempt(run_options options)
    {
        if (!inputs_whole)
            write_file(path("IP.BIN"), insert);
        if (!inputs_whole && s().where != "pipe")
            write_sparse(src, source);
        if (s().old < 0)
            unlink(dst.c_str());
        else if (!dest_old)
            write_file(dst, old);
        options.input = s().where == "pipe" ? &source : nullptr;
        return run({src, dst}, options);
    }
    void check(const tool_run& r, const std::string& point, const mode* m,
               const std::string& call = "");
    bool says_why(const std::string& err, const mode& m, const std::string& call) const;
};

// At most one reason line, that of the error injected (a failed probe of a
// file's kind or a failed turn tells none today). A seek that the position
// probe could not undo is told as EIO, as EINVAL would say "no holes known";
// a device that runs out of room is too small for SOURCE.
bool FaultPoint::says_why(const std::string& err, const mode& m, const std::string& call) const
{
    std::vector<std::string> reasons = {injected_reason(std::string(":") + m.injection)};
    if (call == "lseek")
        reasons.push_back("erreur d'entree-sortie");
    if (s().where == "loop" && std::string(m.injection) == "error=ENOSPC")
        reasons.push_back("peripherique trop petit pour " + src);
    auto lines = std::count(err.begin(), err.end(), '\n');
    if (lines != 1)
        return lines == 0;
    return std::any_of(reasons.begin(), reasons.end(), [&err](const std::string& r) {
        return err.size() > r.size() + 2 &&
               err.compare(err.size() - r.size() - 3, r.size() + 3, ": " + r + "\n") == 0;
    });
}

void FaultPoint::check(const tool_run& r, const std::string& point, const mode* m,
                       const std::string& call)
{
    std::string got = read_file(dst);
    if (s().where == "loop") // a device keeps its old bytes past SOURCE's length
        got.resize(std::min(got.size(), source.size()));
    bool exact = got == expected;
    dest_old = s().where != "loop" && s().old >= 0 && got == old;
    std::string wrong;
    inputs_whole =
        read_file(path("IP.BIN")) == insert && (s().where == "pipe" || read_file(src) == source);
    if (!inputs_whole)
        wrong += " an input changed;";
    if (m != nullptr && !r.fired)
        wrong += " the fault did not take effect;";
    // A report that standard output could not take is lost, not a failure.
    if (r.status == 0 && (!exact || r.out != success_report(r.name)))
        wrong += " status 0 without both the report and an exact DEST;";
    bool looks_done = got.size() == source.size() && got.compare(0, head, insert, 0, head) == 0;
    if (!exact && looks_done)
        wrong += " DEST looks finished but is wrong;";
    bool failed = m != nullptr && m->how == FAILED && r.signal == 0 && r.status != 0;
    // Told a failure, a user takes DEST for unfinished: it must not look
    // done; a device, which cannot be emptied, gets its head zeroed again.
    if (failed && looks_done)
        wrong += " failed, yet DEST is at full length with its head in place;";
    if (!exact && m != nullptr && m->how == FAILED && (r.status == 0 || r.out.empty()))
        wrong += " no message and failure status;";
    if (failed && !says_why(r.err, *m, call))
        wrong += " reason \"" + r.err + "\" is not the error injected;";
    // Untouched, as when DEST could not be probed and may be an input, or
    // cut back to what this run wrote; a device keeps its old bytes.
    bool cut_back =
        got == old || (got.size() <= unsealed.size() && unsealed.compare(0, got.size(), got) == 0);
    if (!exact && s().where != "loop" && m != nullptr && m->how != KILLED && !cut_back)
        wrong += " old bytes left or not cut back;";
    std::string out = r.out;
    std::replace(out.begin(), out.end(), '\n', '|');
    if (!wrong.empty())
        failures.push_back(point + " " + (m ? m->injection : "clean") + ": status " +
                           std::to_string(r.status) + ", DEST " + std::to_string(got.size()) +
                           " bytes:" + wrong + " stdout \"" + out + "\"");
}

TEST_P(FaultPoint, LeavesDestFinishedOrPlainlyNot)
{
    SKIP_UNLESS_TRACEABLE();
    const std::string& group = GetParam().group;
    std::string why;
    std::string base = s().where == "ntfs" ? mount_ntfs(&why) : dir;
    std::string fuse = s().where == "fuse" ? mount_failfs(1LL << 40, &why) : dir;
    if (base.empty() || fuse.empty())
        GTEST_SKIP() << why;
    insert = pattern(s().insert, 1);
    source = pattern(s().source, 2).replace((s().source - s().hole) / 2, s().hole, s().hole, 0);
    old = s().old < 0 ? "" : pattern(static_cast<std::size_t>(s().old), 3);
    src = s().where == "pipe" ? "/dev/stdin" : base + "/src";
    dst = fuse == dir ? base + "/dst" : fuse + "/dst";
    if (s().where == "loop") {
        write_file(path("disk"), old);
        if ((dst = attach_loop(path("disk"), &why)).empty())
            GTEST_SKIP() << why;
    }
    expected = expected_output(source, insert);
    unsealed = unsealed_output(source, insert);
    head = std::min({s().insert, std::size_t{32768}, s().source});

    const target targets[] = {{"IP.BIN", {"IP.BIN"}},
                              {"SOURCE", s().where == "pipe"
                                             ? std::vector<std::string>{"/dev/stdin", "-"}
                                             : std::vector<std::string>{src}},
                              {"DEST", {dst}}};
    int points = 0;
    int met = 0; // points of this group met so far, this test's share or not
    for (const target& t : targets) {
        std::string log;
        run_options traced;
        traced.traced_files = t.paths;
        traced.trace = &log;
        tool_run clean = attempt(traced);
        check(clean, std::string("no fault, ") + t.what + " traced", nullptr);
        ASSERT_EQ(clean.status, 0) << clean.out << clean.err;
        std::map<std::string, int> seen;
        for (const traced_call& c : traced_calls(log)) {
            std::string when = std::to_string(++seen[c.name]);
            for (const mode& m : MODES)
                if (m.group == group && (m.only == nullptr || m.only->count(c.name) != 0) &&
                    met++ % s().shares == GetParam().share) {
                    ++points;
                    std::string fault = c.name + ":" + m.injection + ":when=" + when;
                    check(attempt(under_strace(fault, t.paths)),
                          c.name + " #" + when + " of " + t.what + " [" + c.line.substr(0, 60) +
                              "]",
                          &m, c.name);
                }
        }
    }
    RecordProperty("fault_points", points);
    std::string all;
    for (const std::string& f : failures)
        all += "\n  " + f;
    EXPECT_TRUE(failures.empty()) << s().name << " " << group << ": " << failures.size() << " of "
                                  << points << " fault points break the contract:" << all;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, FaultPoint, ::testing::ValuesIn(fault_cases()),
                         [](const auto& p) { return case_name(p.param); });

} // namespace
