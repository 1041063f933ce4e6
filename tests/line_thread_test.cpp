// SPDX-License-Identifier: MIT
// The thread that draws the progress line: it blocks every stop, so that a
// stop's handler runs on the main thread; it draws nothing before the run
// has gone on for the line's delay, by the tool's own clock, which the
// test's can only outrun; and the run's end waits for a draw in progress,
// which strace holds at its write while the test lets the run end (and
// holds the report's write as long, so that the process is still there
// for a draw that did not wait to land after the line's blank).
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <sstream>

#include "faults.h"
#include "held_runs.h"
#include "progress.h"
#include "terminal_runs.h"
#include "test_config.h"

namespace fs = std::filesystem;

namespace {

using LineThread = ToolTest;

constexpr std::size_t KIB = 1024;
// The writes to the terminal and to standard output that strace holds, each
// thread's second (strace counts them apart): the line's second draw, and,
// after the line's blank, the report; well under the second that a run's
// end waits for a draw at most.
constexpr const char* HELD_WRITES = "write:delay_enter=400000:when=2";

// The threads of a process but its first.
std::vector<std::string> other_threads(int pid)
{
    std::vector<std::string> threads;
    std::error_code failed;
    for (const auto& task :
         fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", failed))
        if (task.path().filename() != std::to_string(pid))
            threads.push_back(task.path().string());
    return threads;
}

// The stops a thread does not block, from its status in /proc.
std::string unblocked_stops(const std::string& task)
{
    std::string status = read_file(task + "/status");
    std::size_t at = status.find("SigBlk:");
    unsigned long long blocked =
        at == std::string::npos ? 0 : std::strtoull(status.c_str() + at + 7, nullptr, 16);
    std::string unblocked;
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        if ((blocked & (1ULL << (s - 1))) == 0)
            unblocked += std::to_string(s) + " ";
    return unblocked;
}

// Whether the thread is held by its tracer as it starts a write to
// standard error.
bool held_drawing(const std::string& task)
{
    std::istringstream call(read_file(task + "/syscall"));
    long number = -1;
    std::string fd;
    call >> number >> fd;
    std::string stat = read_file(task + "/stat");
    std::size_t state = stat.rfind(") ");
    return number == SYS_write && fd == "0x2" && state != std::string::npos &&
           stat.compare(state + 2, 1, "t") == 0;
}

TEST_F(LineThread, BlocksStopsWaitsToDrawAndIsWaitedFor)
{
    SKIP_UNLESS_TRACEABLE();
    std::string insert = pattern(32768, 1);
    std::string source = pattern(128 * KIB, 2);
    write_file(path("IP.BIN"), insert);
    ASSERT_EQ(mkfifo(path("pipe").c_str(), 0600), 0);
    int fifo = open(path("pipe").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fifo, 0);
    ASSERT_TRUE(feed(fifo, source.substr(0, source.size() / 2)));
    run_options held;
    held.fault = HELD_WRITES;
    held.traced_files = {"{terminal}", driven_output(dir)};
    std::string log = dir + ".line.log";
    // LeakSanitizer cannot run under ptrace.
    std::vector<std::string> argv = {"env", NO_LEAK_CHECK};
    std::vector<std::string> traced = strace_words(held, log);
    argv.insert(argv.end(), traced.begin(), traced.end());
    argv.insert(argv.end(), std::begin(TOOL_COMMAND), std::end(TOOL_COMMAND));
    argv.insert(argv.end(), {"pipe", "dst"});
    std::string unblocked = "?";
    // env becomes strace, whose child is the tool.
    auto tool = [](const run_view& v) { return first_child(v.pid); };
    std::vector<drive_step> steps = {
        {[&](const run_view& v) { return tool(v) > 0 && !other_threads(tool(v)).empty(); },
         [&](const run_view& v) {
             unblocked.clear();
             for (const std::string& task : other_threads(tool(v)))
                 unblocked += unblocked_stops(task);
         }},
        {[&](const run_view& v) {
             for (const std::string& task : other_threads(tool(v)))
                 if (held_drawing(task))
                     return true;
             return false;
         },
         [&](const run_view&) {
             feed(fifo, source.substr(source.size() / 2));
             close(fifo);
         }}};
    driven_run r = drive_on_terminal(dir, argv, 1000, "", steps);
    std::string trace = read_file(log);
    std::remove(log.c_str());
    EXPECT_EQ(r.status, 0) << r.screen;
    EXPECT_TRUE(read_file(path("dst")) == expected_output(source, insert));
    EXPECT_EQ(unblocked, "") << "the line's thread takes these stops";
    ASSERT_FALSE(r.lines.empty()) << r.screen;
    EXPECT_GE(r.lines.front().at, PROGRESS_DELAY_MS / 1000.0) << "the line was drawn that soon";
    EXPECT_NE(trace.find("(DELAYED)"), std::string::npos) << "no draw was held:\n" << trace;
    EXPECT_EQ(play(r.screen).last, "") << "a draw came after the line was closed:\n" << r.screen;
}

} // namespace
