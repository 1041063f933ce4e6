// SPDX-License-Identifier: MIT
// The progress line: what it says, that only a long run on a terminal shows
// it and that it is gone before the report; and a device written behind the
// copy, with no more than a window of it held in memory.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <regex>
#include <sstream>

#include "engine.h"
#include "harness.h"
#include "host.h"
#include "progress.h"
#include "talvor.h"
#include "test_config.h"

namespace {

using ProgressLine = ToolTest;
using DeviceWriteBehind = ToolTest;

constexpr long long MIB = 1024 * 1024;
constexpr long long GIB = 1024 * MIB;

TEST(ProgressText, SaysDoneTotalRateAndTimeLeftInBinaryUnits)
{
    struct text_case {
        progress_view view;
        const char* text;
    };
    const text_case cases[] = {
        {{GIB * 12 / 10 + MIB, 4 * GIB, 25.0 * MIB, 0, 0},
         "t: 1.2 Gio sur 4.0 Gio (30%), 25 Mio/s, encore 1 min 55 s"},
        {{GIB * 12 / 10, -1, 25.0 * MIB, 0, 0}, "t: 1.2 Gio, 25 Mio/s"},
        {{0, -1, 0.0, 0, 0}, "t: 0 o, 0 o/s"},
        {{1000, 5000, -1.0, 0, 0}, "t: 1000 o sur 4.9 Kio (20%)"},
        // Never "1024.0" of a unit, nor 100% before the last byte.
        {{1024 * 1024 - 20, 4 * MIB, 9.5 * MIB, 0, 0},
         "t: 1.0 Mio sur 4.0 Mio (24%), 9.5 Mio/s, encore 1 s"},
        {{4 * MIB - 1, 4 * MIB, 1023.7 * MIB, 0, 0},
         "t: 4.0 Mio sur 4.0 Mio (99%), 1.0 Gio/s, encore 1 s"},
        {{4 * MIB, 4 * MIB, 9.97 * MIB, 0, 0}, "t: 4.0 Mio sur 4.0 Mio (100%), 10 Mio/s"},
        {{0, 8 * GIB, 2.0 * MIB, 0, 0}, "t: 0 o sur 8.0 Gio (0%), 2.0 Mio/s, encore 1 h 8 min"},
        {{0, 8 * GIB, 1.0, 0, 0}, "t: 0 o sur 8.0 Gio (0%), 1 o/s"},
        // Bytes written to a device but not yet on it; a stall from two
        // seconds on, in whole seconds, instead of a time left; none once done.
        {{MIB, 4 * MIB, MIB, 3 * MIB / 2, 0},
         "t: 1.0 Mio sur 4.0 Mio (25%), 1.0 Mio/s, encore 3 s, 1.5 Mio en route"},
        {{MIB, 4 * MIB, 1024.0, 0, 1999},
         "t: 1.0 Mio sur 4.0 Mio (25%), 1.0 Kio/s, encore 51 min 12 s"},
        {{MIB, 4 * MIB, 0.0, 0, 4999}, "t: 1.0 Mio sur 4.0 Mio (25%), 0 o/s, bloque depuis 4 s"},
        {{MIB, -1, 0.0, 0, 2000}, "t: 1.0 Mio, 0 o/s, bloque depuis 2 s"},
        {{4 * MIB, 4 * MIB, 0.0, 0, 9000}, "t: 4.0 Mio sur 4.0 Mio (100%), 0 o/s"},
    };
    for (const text_case& c : cases) {
        char text[TERMINAL_LINE_SIZE];
        describe_progress(text, sizeof text, "t", c.view, TERMINAL_LINE_SIZE);
        EXPECT_STREQ(text, c.text);
    }
}

TEST(ProgressText, NarrowTerminalLeavesOutTheLeastUsefulFieldsFirst)
{
    const progress_view device = {32 * MIB, 100 * MIB, 2.0 * MIB, 3 * MIB / 2, 0};
    const progress_view pipe = {32 * MIB, -1, 2.0 * MIB, 0, 3000};
    struct narrow_case {
        progress_view view;
        std::size_t columns;
        const char* text;
    };
    const narrow_case cases[] = {
        {device, 78,
         "talvor: 32.0 Mio sur 100.0 Mio (32%), 2.0 Mio/s, encore 34 s, 1.5 Mio en route"},
        {device, 77, "talvor: 32.0 Mio sur 100.0 Mio (32%), 2.0 Mio/s, encore 34 s"},
        {device, 59, "32.0 Mio sur 100.0 Mio (32%), 2.0 Mio/s, encore 34 s"},
        {device, 51, "32.0 Mio sur 100.0 Mio (32%), encore 34 s"},
        {device, 40, "32%, encore 34 s"},
        {device, 16, "32%, encore 34 s"},
        {device, 15, "32%"},
        {device, 2, "32%"},
        {pipe, 27, "32.0 Mio, bloque depuis 3 s"},
        {pipe, 26, "32.0 Mio"},
    };
    for (const narrow_case& c : cases) {
        char text[TERMINAL_LINE_SIZE];
        describe_progress(text, sizeof text, "talvor", c.view, c.columns);
        EXPECT_STREQ(text, c.text) << "in " << c.columns;
    }
}

TEST(ProgressText, StartsWithTheToolsOwnName)
{
    bool windows_host = false;
#if defined(_WIN32)
    windows_host = true;
#endif
    struct name_case {
        const char* invocation;
        const char* name;
        const char* windows_name;
    };
    const name_case cases[] = {
        {"/opt/tools/bin/talvor", "talvor", "talvor"},
        {"talvor", "talvor", "talvor"},
        {"./build/talvor-essai", "talvor-essai", "talvor-essai"},
        {"C:\\Outils\\Talvor.EXE", "C:\\Outils\\Talvor.EXE", "Talvor.EXE"},
        {"Z:\\opt/bin\\talvor.exe", "bin\\talvor.exe", "talvor.exe"},
        {"/opt/\xC3\xA9t\xC3\xA9/t\xC3\xA9", "t\xC3\xA9", "t\xC3\xA9"},
        {"dir/", "dir/", "dir/"},
    };
    for (const name_case& c : cases)
        EXPECT_STREQ(tool_name(c.invocation), windows_host ? c.windows_name : c.name)
            << c.invocation;
}

TEST(ProgressText, FitsTheTerminalAndCoversTheWholeRow)
{
    struct fit_case {
        const char* text;
        std::size_t columns;
        std::string written;
    };
    const fit_case cases[] = {
        {"abc", 3, "\rabc"},
        {"abc", 6, "\rabc   "},
        {"abcdef", 4, "\rabcd"},
        // A character of several bytes is left out whole.
        {"ab\xC3\xA9z", 3, "\rab "},
        {"ab\xC3\xA9z", 4, "\rab\xC3\xA9"},
    };
    for (const fit_case& c : cases) {
        char line[TERMINAL_LINE_SIZE + 1];
        std::size_t n = fit_line(line, sizeof line, c.text, c.columns);
        EXPECT_EQ(std::string(line, n), c.written) << c.text << " in " << c.columns;
    }
}

// The lines a terminal showed one after the other, and what it shows at the
// end: carriage returns, erasures to the end of the line and a console's
// cursor sequences are played as a terminal would.
struct played {
    std::vector<std::string> drawn;
    std::string last;
};

std::string trimmed(const std::string& line)
{
    return line.substr(0, line.find_last_not_of(' ') + 1);
}

played play(const std::string& screen)
{
    played p;
    std::string line;
    std::size_t cursor = 0;
    for (std::size_t i = 0; i < screen.size(); ++i) {
        char c = screen[i];
        if (c == '\x1b' && i + 1 < screen.size() && screen[i + 1] == '[') {
            std::size_t end = screen.find_first_of("ABCDHJKhlm", i + 2);
            if (end != std::string::npos && screen[end] == 'K')
                line.resize(std::min(line.size(), cursor));
            i = end == std::string::npos ? screen.size() : end;
        } else if (c == '\r' || c == '\n') {
            if (!trimmed(line).empty() && (p.drawn.empty() || p.drawn.back() != trimmed(line)))
                p.drawn.push_back(trimmed(line));
            cursor = 0;
            if (c == '\n')
                line.clear();
        } else {
            if (cursor >= line.size())
                line.resize(cursor + 1, ' ');
            line[cursor++] = c;
        }
    }
    p.last = trimmed(line);
    return p;
}

// The last element of an invocation name, as the progress line starts with.
std::string own_name(const std::string& invocation)
{
    std::size_t slash = invocation.find_last_of(tool_on_windows() ? "/\\" : "/");
    return slash == std::string::npos ? invocation : invocation.substr(slash + 1);
}

// Draws that start with the tool's own name, as progress lines do.
std::vector<std::string> lines_of(const played& screen, const std::string& invocation)
{
    std::string name = own_name(invocation);
    std::vector<std::string> lines;
    for (const std::string& line : screen.drawn)
        if (line.compare(0, name.size() + 2, name + ": ") == 0)
            lines.push_back(line.substr(name.size()));
    return lines;
}

TEST_F(ProgressLine, ShowsOnlyOnATerminalDuringALongRunAndGoesBeforeTheReport)
{
    if (!have_program("script"))
        GTEST_SKIP() << "script (bsdutils) is not installed";
    struct line_case {
        const char* what;
        bool slow;
        bool error_to_file;
        bool background;
        bool stop;
        bool shows;
    };
    const line_case cases[] = {
        {"slow pipe on a terminal", true, false, false, false, true},
        {"slow pipe, standard error a file", true, true, false, false, false},
        {"slow pipe in a background job", true, false, true, false, false},
        {"slow pipe stopped", true, false, false, true, true},
        {"fast run on a terminal", false, false, false, false, false},
    };
    std::string insert = pattern(32768, 1);
    write_file(path("IP.BIN"), insert);
    std::string chunk = pattern(MIB, 2);
    write_file(path("chunk"), chunk);
    std::string source;
    for (int i = 0; i < 12; ++i)
        source += chunk;
    // A pipe fed a MiB at a time, a quarter of a second apart, as a slow
    // network or decompressor would; a stop comes before its end.
    const std::string feed = "for i in 1 2 3 4 5 6 7 8 9 10 11 12; do cat chunk; sleep 0.25; done";
    for (const line_case& c : cases) {
        SCOPED_TRACE(c.what);
        if (tool_on_windows() && (c.background || c.stop))
            continue; // a console has no background; its stop is the console's own case
        terminal_options options;
        if (c.slow)
            options.feed = "{ " + feed + (c.stop ? "; kill -TERM $pid" : "") + "; } >fifo";
        options.error_to_file = c.error_to_file;
        options.background = c.background;
        terminal_run r = run_with_terminal(dir, {c.slow ? "fifo" : "chunk", "dst"}, options);
        played screen = play(r.screen);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(screen.last, "") << "the line is left on the screen:\n" << r.screen;
        if (c.stop) {
            EXPECT_EQ(r.status, 143);
            EXPECT_EQ(r.out, "");
        } else {
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.out, success_report(r.name));
            EXPECT_TRUE(read_file(path("dst")) == expected_output(c.slow ? source : chunk, insert));
        }
        std::vector<std::string> lines = lines_of(screen, r.name);
        if (!c.shows) {
            EXPECT_TRUE(lines.empty()) << r.screen;
            continue;
        }
        const std::regex update(": dst: ([0-9.]+ (o|Kio|Mio)), [0-9.]+ (o|Kio|Mio)/s");
        std::vector<std::string> done;
        for (const std::string& line : lines) {
            // A stop heard says so until the run ends.
            if (c.stop && line.find(": dst: arret demande, ") == 0)
                continue;
            std::smatch m;
            EXPECT_TRUE(std::regex_match(line, m, update)) << line;
            if (!m.empty())
                done.push_back(m[1]);
        }
        ASSERT_GE(done.size(), 2U) << r.screen;
        EXPECT_NE(done.front(), done.back()) << "the line does not move";
    }
}

// Takes dst's turn as a run of the tool does, a lock on its byte past any
// data, until a file named go appears.
constexpr const char* HOLD_DEST_TURN =
    "python3 -c \"import fcntl, os, time; f = open('dst', 'r+'); "
    "fcntl.lockf(f, fcntl.LOCK_EX, 1, 2**63 - 2); "
    "[time.sleep(0.05) for _ in iter(lambda: os.path.exists('go'), True)]\"";

TEST_F(ProgressLine, TellsAWaitForAnotherRunOnlyOnATerminal)
{
    SKIP_UNLESS_POSIX_TOOL();
    if (!have_program("script") || !have_program("python3"))
        GTEST_SKIP() << "script (bsdutils) or python3 is not installed";
    std::string insert = pattern(32768, 1);
    write_file(path("IP.BIN"), insert);
    std::string source = pattern(MIB, 2);
    write_file(path("src"), source);
    struct wait_case {
        const char* what;
        bool terminal;
        bool stopped; // by SIGTERM while it waits: the other run's DEST stays
    };
    for (const wait_case& c :
         {wait_case{"on a terminal", true, false}, wait_case{"standard error a file", false, false},
          wait_case{"stopped while it waits", true, true}}) {
        SCOPED_TRACE(c.what);
        write_file(path("dst"), "old");
        unlink(path("go").c_str());
        // Another run holds DEST, as the tool's own turn does, until the tool
        // has waited three seconds.
        terminal_options options;
        options.before = std::string(HOLD_DEST_TURN) +
                         " & until grep -q \":$(stat -c %i dst) \" /proc/locks; do sleep 0.05; done";
        options.feed =
            c.stopped ? "sleep 3; kill -TERM $pid; sleep 0.5; touch go" : "sleep 3; touch go";
        options.error_to_file = !c.terminal;
        terminal_run r = run_with_terminal(dir, {"src", "dst"}, options);
        EXPECT_EQ(r.status, c.stopped ? 128 + SIGTERM : 0);
        EXPECT_EQ(r.out, c.stopped ? "" : success_report(r.name));
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(read_file(path("dst")) ==
                    (c.stopped ? std::string("old") : expected_output(source, insert)));
        played screen = play(r.screen);
        EXPECT_EQ(screen.last, "") << r.screen;
        std::vector<std::string> lines = lines_of(screen, r.name);
        if (c.terminal)
            EXPECT_TRUE(!lines.empty() &&
                        lines.front() == ": en attente de dst, pris par une autre execution")
                << r.screen;
        else
            EXPECT_TRUE(lines.empty()) << r.screen;
    }
}

// Two runs on one terminal, one waiting for the other's DEST: the first
// draws over the waiting line and erases the whole row before its report,
// which no fragment of the waiting line may stand above.
TEST_F(ProgressLine, TwoRunsOnOneTerminalLeaveNoFragment)
{
    SKIP_UNLESS_POSIX_TOOL();
    if (!have_program("script"))
        GTEST_SKIP() << "script (bsdutils) is not installed";
    std::string insert = pattern(32768, 1);
    write_file(path("IP.BIN"), insert);
    write_file(path("chunk"), pattern(MIB / 2, 2));
    write_file(path("src"), pattern(MIB, 3));
    ASSERT_EQ(mkfifo(path("first").c_str(), 0600), 0);
    std::string tool;
    for (const char* word : TOOL_COMMAND)
        tool += std::string("'") + word + "' ";
    // The first run, its report on the terminal too, holds a DEST with a
    // long name for three seconds; the second starts half a second later.
    const std::string destination = "une-destination-au-nom-assez-long.img";
    terminal_options options;
    options.before = "for i in 1 2 3 4 5 6; do cat chunk; sleep 0.5; done >first & " + tool +
                     "first " + destination + " & sleep 0.5";
    terminal_run r = run_with_terminal(dir, {"src", destination}, options);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, success_report(r.name));
    played screen = play(r.screen);
    EXPECT_EQ(screen.last, "") << r.screen;
    std::string waiting =
        own_name(r.name) + ": en attente de " + destination + ", pris par une autre execution";
    bool waited = false;
    for (const std::string& line : screen.drawn) {
        waited = waited || line == waiting;
        EXPECT_TRUE(line.find("pris par") == std::string::npos || line == waiting)
            << "a fragment is left: " << line;
        EXPECT_NE(line[0], ' ') << "a fragment is left: " << line;
    }
    EXPECT_TRUE(waited) << r.screen;
    EXPECT_NE(r.screen.find("fini!!!"), std::string::npos) << "the first run's report";
}

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
    const std::regex write("^write\\(\\d+<" + device + ">, .*\\)\\s+= (\\d+)");
    const std::regex ranged("^sync_file_range\\(\\d+<" + device +
                            ">, (\\d+), (\\d+), (.*)\\)\\s+= ");
    const std::regex whole("^fsync\\(\\d+<" + device + ">\\)\\s+= ");
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (std::regex_search(line, m, write))
            written += std::stoll(m[1]);
        else if (std::regex_search(line, m, ranged))
            found.push_back({true,
                             m[3].str().find("WAIT_AFTER") != std::string::npos
                                 ? std::stoll(m[1]) + std::stoll(m[2])
                                 : 0,
                             written});
        else if (std::regex_search(line, whole))
            found.push_back({false, written, written});
    }
    return found;
}

TEST_F(DeviceWriteBehind, HoldsAWindowAtMostAndAFailedPushIsAFailedWrite)
{
    SKIP_UNLESS_STRACE();
    if (!tool_is_native())
        GTEST_SKIP() << "strace must see the tool's own calls, not an emulator's";
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

    std::string log = path("push.log");
    tool_run traced =
        run({"src", device},
            {{"strace", "-qq", "-y", "-e", "trace=write,sync_file_range,fsync", "-o", log},
             nullptr,
             {NO_LEAK_CHECK}});
    ASSERT_EQ(traced.status, 0) << traced.out;
    EXPECT_TRUE(read_file(device).substr(0, source.size()) == expected_output(source, insert));
    std::vector<push> seen = pushes(read_file(log), device);
    long long pushed = 0;
    long long most_held = 0;
    for (const push& p : seen) {
        most_held = std::max(most_held, p.written - pushed);
        pushed = std::max(pushed, p.waited_to);
    }
    EXPECT_LE(most_held, DEVICE_PUSH_WINDOW + 2 * DEVICE_PUSH_PIECE) << read_file(log);
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
        tool_run r = run({"src", device}, under_strace(injection));
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

// A line the terminal received, and when: seconds since the tool started.
struct timed_line {
    double at;
    std::string text;
};

// Something done at a moment of a timed run: a shell command, or a signal
// sent to the tool.
struct timed_event {
    double at;
    std::string command;
    int signal;
};

struct timed_run {
    int status; // as a shell shows it; -1 when it had to be killed
    std::vector<timed_line> lines;
    double ended;
};

// No timed run may take longer, so that its test stays under 30 s.
constexpr double MOST_RUN_SECONDS = 25.0;
constexpr int POLL_MS = 10;

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The child's side: a session of its own whose controlling terminal is the
// pseudo-terminal named slave, as standard error; in the cgroup whose
// cgroup.procs is procs, unless that is empty.
[[noreturn]] void exec_on_terminal(const std::string& dir, const std::vector<std::string>& argv,
                                   const std::string& slave, const std::string& procs)
{
    setsid();
    int tty = open(slave.c_str(), O_RDWR);
    int null = open("/dev/null", O_RDWR);
    if (tty < 0 || null < 0 || ioctl(tty, TIOCSCTTY, 0) != 0 || chdir(dir.c_str()) != 0)
        _exit(126);
    dup2(null, STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    dup2(tty, STDERR_FILENO);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGTSTP, SIGCONT})
        signal(s, SIG_DFL);
    std::string pid = std::to_string(getpid());
    int group = procs.empty() ? -1 : open(procs.c_str(), O_WRONLY);
    if (!procs.empty() && (group < 0 || write(group, pid.data(), pid.size()) < 0))
        _exit(125);
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

// Cuts what the terminal received into lines, each a draw: text up to the
// next carriage return or line end, trailing spaces left out, blanks dropped.
void take_lines(std::string& pending, double& pending_at, const std::string& bytes, double now,
                std::vector<timed_line>& lines)
{
    for (char c : bytes) {
        if (c != '\r' && c != '\n') {
            if (pending.empty())
                pending_at = now;
            pending += c;
            continue;
        }
        std::string text = trimmed(pending);
        if (!text.empty())
            lines.push_back({pending_at, text});
        pending.clear();
    }
}

// Runs the tool (started as argv[0] when given) in dir on a pseudo-terminal
// of columns, doing each event when its time comes.
timed_run run_timed(const std::string& dir, std::vector<std::string> argv, unsigned short columns,
                    const std::string& procs, const std::vector<timed_event>& events)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return {-1, {}, 0};
    struct winsize size = {};
    size.ws_row = 24;
    size.ws_col = columns;
    std::string slave = ptsname(master);
    int held = open(slave.c_str(), O_RDWR | O_NOCTTY);
    ioctl(held, TIOCSWINSZ, &size);
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0)
        exec_on_terminal(dir, argv, slave, procs);
    timed_run r = {-1, {}, 0};
    std::string pending;
    double pending_at = 0;
    std::size_t next_event = 0;
    int status = 0;
    bool ended = false;
    while (!ended && seconds_since(start) < MOST_RUN_SECONDS) {
        for (; next_event < events.size() && events[next_event].at <= seconds_since(start);
             ++next_event) {
            const timed_event& e = events[next_event];
            if (e.signal != 0)
                kill(pid, e.signal);
            else if (shell(e.command) != 0)
                ADD_FAILURE() << "failed: " << e.command;
        }
        struct pollfd ready = {master, POLLIN, 0};
        char chunk[4096];
        ssize_t n = poll(&ready, 1, POLL_MS) > 0 ? read(master, chunk, sizeof chunk) : 0;
        if (n > 0)
            take_lines(pending, pending_at, std::string(chunk, static_cast<std::size_t>(n)),
                       seconds_since(start), r.lines);
        ended = waitpid(pid, &status, WNOHANG) == pid;
    }
    r.ended = seconds_since(start);
    if (!ended) {
        ADD_FAILURE() << "the tool still ran after " << MOST_RUN_SECONDS << " s";
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    } else {
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    // What the tool wrote before it ended is all in the terminal by now.
    for (ssize_t n = 1; n > 0;) {
        char chunk[4096];
        struct pollfd ready = {master, POLLIN, 0};
        n = poll(&ready, 1, 0) > 0 ? read(master, chunk, sizeof chunk) : 0;
        if (n > 0)
            take_lines(pending, pending_at, std::string(chunk, static_cast<std::size_t>(n)),
                       r.ended, r.lines);
    }
    take_lines(pending, pending_at, "\r", r.ended, r.lines);
    close(held);
    close(master);
    return r;
}

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

constexpr long long STICK_RATE = 2 * MIB;
// Room for every field of the line.
constexpr unsigned short WIDE_COLUMNS = 100;
constexpr long long STALL_RATE = 4096;

// What a timed run showed, for a failure to tell.
std::string lines_shown(const timed_run& r)
{
    std::string shown;
    for (const timed_line& l : r.lines)
        shown += std::to_string(l.at) + " " + l.text + "\n";
    return shown;
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

TEST_F(ThrottledDevice, LineMovesThroughAStallAndCtrlCEndsTheRunWithinASecond)
{
    SKIP_UNLESS_POSIX_TOOL();
    std::string device;
    throttle t = slow_stick(device);
    if (t.group.empty())
        GTEST_SKIP() << t.why;
    // Two seconds at full pace, a stall of four, two more, then Ctrl-C.
    const double stall_from = 3.0;
    const double stall_to = 7.0;
    const double interrupt_at = 9.0;
    std::vector<timed_event> events = {{stall_from, set_rate(t, STALL_RATE), 0},
                                       {stall_to, set_rate(t, STICK_RATE), 0},
                                       {interrupt_at, "", SIGINT}};
    std::vector<std::string> argv(std::begin(TOOL_COMMAND), std::end(TOOL_COMMAND));
    argv.insert(argv.end(), {"src", device});
    timed_run r = run_timed(dir, argv, WIDE_COLUMNS, t.group + "/cgroup.procs", events);
    std::string shown = lines_shown(r);
    EXPECT_EQ(r.status, 128 + SIGINT) << shown;
    EXPECT_LE(r.ended - interrupt_at, 1.5) << "Ctrl-C took that long to end the run\n" << shown;
    ASSERT_FALSE(r.lines.empty());
    EXPECT_LE(r.lines.front().at, 1.6) << "the first line came that late\n" << shown;
    double gap = 0;
    double before = 0;
    double during = -1;
    bool said_stalled = false;
    for (std::size_t i = 0; i < r.lines.size(); ++i) {
        const timed_line& l = r.lines[i];
        if (i > 0 && l.at < interrupt_at)
            gap = std::max(gap, l.at - r.lines[i - 1].at);
        if (l.at < stall_from)
            before = rate_of(l.text);
        // The rate is taken over about three seconds: half of it has gone
        // two seconds into the stall.
        if (l.at > stall_from + 2.5 && l.at < stall_to)
            during = during < 0 ? rate_of(l.text) : std::max(during, rate_of(l.text));
        said_stalled = said_stalled || (l.at < stall_to + 0.5 &&
                                        l.text.find(", bloque depuis ") != std::string::npos);
    }
    EXPECT_LE(gap, 1.2) << "the line stood still for that long\n" << shown;
    EXPECT_GT(before, STICK_RATE / 2) << shown;
    EXPECT_GE(during, 0) << shown;
    EXPECT_LT(during, before / 2) << "the rate did not fall during the stall\n" << shown;
    EXPECT_TRUE(said_stalled) << shown;
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
    const double stop_at = 2.6;
    const double continue_at = 6.0;
    std::vector<timed_event> events = {
        {stop_at, "", SIGSTOP}, {continue_at, "", SIGCONT}, {continue_at + 2.0, "", SIGINT}};
    std::vector<std::string> argv(std::begin(TOOL_COMMAND), std::end(TOOL_COMMAND));
    argv.insert(argv.end(), {"src", device});
    timed_run r = run_timed(dir, argv, WIDE_COLUMNS, t.group + "/cgroup.procs", events);
    std::string shown = lines_shown(r);
    EXPECT_EQ(r.status, 128 + SIGINT) << shown;
    double before = -1;
    double after = -1;
    for (const timed_line& l : r.lines) {
        if (l.at < stop_at)
            before = rate_of(l.text);
        if (l.at > continue_at && l.at < continue_at + 1.5) {
            after = after < 0 ? rate_of(l.text) : std::min(after, rate_of(l.text));
            EXPECT_EQ(l.text.find("bloque"), std::string::npos) << shown;
        }
    }
    EXPECT_GT(before, 0) << shown;
    EXPECT_GT(after, before / 2) << "the time stopped lowered the rate\n" << shown;
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
    std::vector<std::string> argv(std::begin(TOOL_COMMAND), std::end(TOOL_COMMAND));
    std::string& tool = argv.back();
    std::string started_as = path("opt/tools/bin/talvor");
    ASSERT_EQ(shell("mkdir -p " + path("opt/tools/bin") + " && ln -s '" + tool + "' " + started_as),
              0);
    tool = started_as;
    argv.insert(argv.end(), {"src", device});
    struct narrow_case {
        unsigned short columns;
        bool name;
        bool time_left;
    };
    for (const narrow_case& c : {narrow_case{200, true, true}, narrow_case{80, true, true},
                                 narrow_case{40, false, true}, narrow_case{20, false, false}}) {
        SCOPED_TRACE(std::to_string(c.columns) + " columns");
        timed_run r =
            run_timed(dir, argv, c.columns, t.group + "/cgroup.procs", {{2.7, "", SIGINT}});
        std::string shown = lines_shown(r);
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
