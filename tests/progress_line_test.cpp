// SPDX-License-Identifier: MIT
// The progress line on a terminal: shown only during a long run on a
// terminal in the foreground, and gone before the report; a wait for
// another run told on a terminal alone; two runs on one terminal leave no
// fragment of each other's line.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <regex>

#include "held_runs.h"
#include "terminal_runs.h"
#include "test_config.h"

namespace {

using ProgressLine = ToolTest;

constexpr long long MIB = 1024 * 1024;

// The line's thread sleeps once a tick: this many more tick past two more
// draws due, where a wait told again would show.
constexpr long long MORE_TICKS = 12;

// The sleeps the run's threads but its first (the line's) have gone through.
long long ticks_slept(int pid)
{
    const std::string key = "\nvoluntary_ctxt_switches:";
    long long slept = 0;
    std::error_code failed;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", failed)) {
        std::string status = read_file(task.path().string() + "/status");
        std::size_t at = status.find(key);
        if (task.path().filename() != std::to_string(pid) && at != std::string::npos)
            slept += std::atoll(status.c_str() + at + key.size());
    }
    return slept;
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
    };
    std::string insert = pattern(32768, 1);
    write_file(path("IP.BIN"), insert);
    std::string chunk = pattern(MIB, 2);
    write_file(path("chunk"), chunk);
    std::string source;
    for (int i = 0; i < 12; ++i)
        source += chunk;
    // A pipe fed a MiB at a time, a quarter of a second apart, as a slow
    // network or decompressor would: three seconds at least, longer than the
    // line waits to show; a stop comes before its end. That a short run shows
    // no line is LineThread's, which measures nothing but its own clock.
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

// Another run holds DEST, as a run of the tool does, until the line has
// told the wait (on a terminal), or for longer than the line waits to show.
TEST_F(ProgressLine, TellsAWaitForAnotherRunOnlyOnATerminal)
{
    SKIP_UNLESS_POSIX_TOOL();
    std::string insert = pattern(32768, 1);
    write_file(path("IP.BIN"), insert);
    std::string source = pattern(MIB, 2);
    write_file(path("src"), source);
    const std::string waiting = ": en attente de dst, pris par une autre execution";
    std::vector<std::string> argv(std::begin(TOOL_COMMAND), std::end(TOOL_COMMAND));
    argv.insert(argv.end(), {"src", "dst"});
    for (bool stopped : {false, true}) {
        SCOPED_TRACE(stopped ? "stopped while it waits" : "on a terminal");
        write_file(path("dst"), "old");
        int turn = take_turn(path("dst"), true);
        ASSERT_GE(turn, 0);
        long long told_at = -1;
        driven_run r = drive_on_terminal(
            dir, argv, 1000, "",
            {{[&](const run_view& v) {
                  if (v.drawn.find(waiting) == std::string::npos)
                      return false;
                  told_at = told_at < 0 ? ticks_slept(v.pid) : told_at;
                  return ticks_slept(v.pid) >= told_at + MORE_TICKS;
              },
              [&](const run_view& v) {
                  if (stopped)
                      kill(v.pid, SIGTERM);
                  else
                      close(turn);
              }}});
        if (stopped)
            close(turn);
        EXPECT_EQ(r.status, stopped ? 128 + SIGTERM : 0);
        EXPECT_EQ(r.out, stopped ? "" : success_report(argv[argv.size() - 3]));
        EXPECT_TRUE(read_file(path("dst")) ==
                    (stopped ? std::string("old") : expected_output(source, insert)));
        played screen = play(r.screen);
        EXPECT_EQ(screen.last, "") << r.screen;
        std::vector<std::string> lines = lines_of(screen, argv[argv.size() - 3]);
        EXPECT_TRUE(!lines.empty() && lines.front() == waiting) << r.screen;
        // Counted in all the terminal got: a draw repeated plays as one.
        std::size_t told = 0;
        for (std::size_t at = r.screen.find(waiting); at != std::string::npos;
             at = r.screen.find(waiting, at + 1))
            ++told;
        EXPECT_EQ(told, 1U) << r.screen;
    }
    // Standard error a file: no line, however long the wait.
    constexpr useconds_t LONGER_THAN_THE_LINE_WAITS_US = 1500000;
    write_file(path("dst"), "old");
    int turn = take_turn(path("dst"), true);
    background b;
    start(b, dir, {"src", "dst"});
    EXPECT_TRUE(wait_until([&] { return b.ended || waiting_for_turn(path("dst")) == 1; }));
    usleep(LONGER_THAN_THE_LINE_WAITS_US);
    close(turn);
    finish(b);
    EXPECT_EQ(b.result.status, 0);
    EXPECT_EQ(b.result.err, "");
    EXPECT_EQ(b.result.out, success_report(b.result.name));
}

// Two runs on one terminal, one waiting for the other's DEST: the first
// draws over the waiting line and erases the whole row before its report,
// which no fragment of the waiting line may stand above.
TEST_F(ProgressLine, TwoRunsOnOneTerminalLeaveNoFragment)
{
    SKIP_UNLESS_POSIX_TOOL();
    std::string insert = pattern(32768, 1);
    write_file(path("IP.BIN"), insert);
    std::string first = pattern(3 * MIB, 2);
    write_file(path("src"), pattern(MIB, 3));
    ASSERT_EQ(mkfifo(path("first").c_str(), 0600), 0);
    int fifo = open(path("first").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fifo, 0);
    ASSERT_GT(fcntl(fifo, F_SETPIPE_SZ, static_cast<int>(MIB)), 0);
    ASSERT_TRUE(feed(fifo, first.substr(0, MIB / 2)));
    std::string tool;
    for (const char* word : TOOL_COMMAND)
        tool += std::string("'") + word + "' ";
    // The first run, its report on the terminal too, holds a DEST with a
    // long name until the second has told its wait; the second starts once
    // the first holds DEST's turn.
    const std::string destination = "une-destination-au-nom-assez-long.img";
    write_file(path(destination), "old");
    std::string script = tool + "first " + destination + " >&2 & until grep -q \":$(stat -c %i " +
                         destination + ") \" /proc/locks; do sleep 0.05; done; " + tool + "src " +
                         destination + "; status=$?; wait; exit $status";
    std::string name = TOOL_COMMAND[std::size(TOOL_COMMAND) - 1];
    std::string waiting =
        own_name(name) + ": en attente de " + destination + ", pris par une autre execution";
    driven_run r = drive_on_terminal(
        dir, {"sh", "-c", script}, 1000, "",
        {{[&](const run_view& v) {
              return v.drawn == waiting ||
                     std::any_of(v.lines.begin(), v.lines.end(),
                                 [&](const timed_line& l) { return l.text == waiting; });
          },
          [&](const run_view&) {
              feed(fifo, first.substr(MIB / 2));
              close(fifo);
          }}});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, success_report(name));
    played screen = play(r.screen);
    EXPECT_EQ(screen.last, "") << r.screen;
    for (const std::string& line : screen.drawn) {
        EXPECT_TRUE(line.find("pris par") == std::string::npos || line == waiting)
            << "a fragment is left: " << line;
        EXPECT_NE(line[0], ' ') << "a fragment is left: " << line;
    }
    EXPECT_NE(r.screen.find("fini!!!"), std::string::npos) << "the first run's report";
}

} // namespace
