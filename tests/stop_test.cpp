// SPDX-License-Identifier: MIT
// What a run that is stopped part way leaves: DEST cut back and the stop's
// own status, a file size limit reported as a failed write, and, where
// nothing can be caught, a DEST without its head.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>

#include "held_runs.h"

namespace {

using Stop = ToolTest;

const std::size_t MIB = 1024 * 1024;
const std::size_t LENGTH = 6 * MIB;

// Three stretches of data between holes, so that a file is copied in steps.
std::string make_source(const std::string& file)
{
    std::string bytes(LENGTH, '\0');
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_EQ(ftruncate(fd, static_cast<off_t>(LENGTH)), 0);
    for (std::size_t at : {std::size_t{0}, 2 * MIB, 4 * MIB}) {
        std::string data = pattern(MIB, static_cast<unsigned>(at / MIB + 7));
        EXPECT_EQ(pwrite(fd, data.data(), data.size(), static_cast<off_t>(at)),
                  static_cast<ssize_t>(MIB));
        bytes.replace(at, MIB, data);
    }
    close(fd);
    return bytes;
}

// Nothing of the old DEST is left, and what is there does not look finished.
void expect_cut_back(const std::string& left, const std::string& source, const std::string& insert)
{
    EXPECT_LT(left.size(), source.size());
    EXPECT_TRUE(left == unsealed_output(source, insert).substr(0, left.size()));
}

TEST_F(Stop, CaughtStopCutsBackAndEndsByItsSignal)
{
    SKIP_UNLESS_POSIX_TOOL();
    std::string shim = shim_path("stop_on_write");
    if (shim.empty())
        GTEST_SKIP() << "no stopping shim was built for the tool under test";
    struct stop_case {
        const char* what;
        int signal;
        bool piped;
        bool ignored;
    };
    const stop_case cases[] = {
        {"Ctrl-C", SIGINT, false, false},          {"kill", SIGTERM, true, false},
        {"terminal closed", SIGHUP, false, false}, {"quit", SIGQUIT, true, false},
        {"SIGKILL", SIGKILL, false, false},        {"hangup under nohup", SIGHUP, false, true},
    };
    std::string insert = pattern(32768, 1);
    write_file(path("IP.BIN"), insert);
    std::string source = make_source(path("src"));
    for (const stop_case& c : cases) {
        SCOPED_TRACE(c.what);
        write_file(path("dst"), std::string(LENGTH, '\xAA'));
        // The third write lands in the middle of the body either way.
        run_options options = preloading(
            shim, {"TALVOR_STOP_AFTER=3", "TALVOR_STOP_SIGNAL=" + std::to_string(c.signal)});
        options.input = c.piped ? &source : nullptr;
        options.ignored_signal = c.ignored ? c.signal : 0;
        tool_run r = run({c.piped ? "/dev/stdin" : "src", "dst"}, options);
        std::string left = read_file(path("dst"));
        if (c.ignored) {
            EXPECT_EQ(r.status, 0);
            EXPECT_TRUE(left == expected_output(source, insert));
            continue;
        }
        EXPECT_EQ(r.status, 128 + c.signal);
        EXPECT_EQ(r.out, "");
        if (c.signal == SIGKILL) {
            // Nothing could be cut: the head alone says this is not a finished DEST.
            EXPECT_TRUE(left.substr(0, insert.size()) == std::string(insert.size(), '\0'))
                << "the head is there";
            continue;
        }
        expect_cut_back(left, source, insert);
    }
}

// A head of zeros cannot mark an unfinished DEST: a killed run must leave
// one shorter than SOURCE instead, whatever was there before.
TEST_F(Stop, KilledRunWithAHeadOfZerosLeavesDestShort)
{
    SKIP_UNLESS_POSIX_TOOL();
    std::string shim = shim_path("stop_on_write");
    if (shim.empty())
        GTEST_SKIP() << "no stopping shim was built for the tool under test";
    std::string source = make_source(path("src"));
    for (const std::string& insert : {std::string(), std::string(32768, '\0')}) {
        SCOPED_TRACE("IP.BIN of " + std::to_string(insert.size()) + " zeros");
        write_file(path("IP.BIN"), insert);
        write_file(path("dst"), pattern(LENGTH, 5));
        tool_run r =
            run({"src", "dst"}, preloading(shim, {"TALVOR_STOP_AFTER=3", "TALVOR_STOP_SIGNAL=9"}));
        EXPECT_EQ(r.signal, SIGKILL);
        std::string left = read_file(path("dst"));
        EXPECT_LT(left.size(), source.size()) << "a killed run looks finished";
        EXPECT_TRUE(left == expected_output(source, insert).substr(0, left.size()))
            << "old bytes remain";
    }
}

TEST_F(Stop, FileSizeLimitIsAFailedWrite)
{
    SKIP_UNLESS_POSIX_TOOL();
    std::string insert = pattern(32768, 1);
    write_file(path("IP.BIN"), insert);
    std::string source = make_source(path("src"));
    for (bool piped : {false, true}) {
        SCOPED_TRACE(piped ? "pipe" : "file");
        write_file(path("dst"), std::string(LENGTH + 2 * MIB, '\xAA'));
        run_options options;
        options.file_size_limit = 2 * MIB;
        options.input = piped ? &source : nullptr;
        tool_run r = run({piped ? "/dev/stdin" : "src", "dst"}, options);
        EXPECT_EQ(r.out, r.name + ": Je ne peux pas ecrire dst\n");
        EXPECT_EQ(r.status, 249);
        expect_cut_back(read_file(path("dst")), source, insert);
    }
}

// Whether the process sits in a write to its standard output.
bool writing_the_report(int pid)
{
    std::string call = read_file("/proc/" + std::to_string(pid) + "/syscall");
    return std::atol(call.c_str()) == SYS_write && call.find(" 0x1 ") != std::string::npos;
}

// A DEST that shows SOURCE through a FUSE file system reads exactly as
// SOURCE and is refused before any write; a stop that comes while the
// message waits on a full pipe finds the run's memory gone, and must write
// nothing.
TEST_F(Stop, StopWhileTheMessageWaitsWritesNothingMore)
{
    SKIP_UNLESS_TRACEABLE();
    if (!tool_makes_linux_calls())
        GTEST_SKIP() << "a host with POSIX calls alone cannot tell a FUSE view of SOURCE from a file";
    std::string why;
    std::string fuse = mount_failfs(1LL << 40, &why);
    if (fuse.empty())
        GTEST_SKIP() << why;
    std::string source = pattern(200 * 1024, 2);
    write_file(path("IP.BIN"), pattern(4000, 1));
    write_file(path("failfs-backing/src"), source);
    std::string src = path("failfs-backing/src");
    std::string dst = fuse + "/src";
    tool_run told = run({src, dst});
    ASSERT_EQ(told.out, same_file_refusal(told.name, dst, src));
    // The report's pipe, as small as a pipe can be, full before the run.
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    int room = fcntl(ends[1], F_SETPIPE_SZ, 4096);
    ASSERT_GT(room, 0);
    ASSERT_EQ(write(ends[1], std::string(static_cast<std::size_t>(room), 'x').data(),
                    static_cast<std::size_t>(room)),
              room);
    std::string trace;
    run_options options;
    options.traced_files = {dst};
    options.trace = &trace;
    options.out = ends[1];
    int strace_pid = 0;
    options.started = [&strace_pid](int pid) { strace_pid = pid; };
    options.stop_whom = [&strace_pid] { return first_child(strace_pid); };
    options.stop_when = [&strace_pid] {
        int tool = first_child(strace_pid);
        return tool > 0 && writing_the_report(tool);
    };
    options.stop_signal = SIGTERM;
    tool_run r = run({src, dst}, options);
    close(ends[0]);
    close(ends[1]);
    EXPECT_EQ(r.signal, SIGTERM) << r.err;
    EXPECT_TRUE(read_file(src) == source) << "SOURCE changed";
    EXPECT_EQ(trace.find("pwrite64("), std::string::npos) << "the stop wrote DEST:\n" << trace;
}

// Windows hears of Ctrl-C on a thread of its own, which must cut DEST back
// before the process ends; Wine turns a SIGINT into that event.
TEST_F(Stop, ConsoleControlEventCutsBack)
{
    if (!tool_on_windows())
        GTEST_SKIP() << "a POSIX tool's stops are the preloaded cases";
    const long long length = 2LL * 1024 * MIB;
    std::string insert = pattern(32768, 1);
    write_file(path("IP.BIN"), insert);
    std::string old(MIB, '\xAA');
    write_file(path("dst"), old);
    ASSERT_EQ(truncate(path("dst").c_str(), length), 0);
    std::string source = pattern(MIB, 2);
    write_file(path("src"), source);
    ASSERT_EQ(truncate(path("src").c_str(), length), 0);
    run_options options;
    options.stop_signal = SIGINT;
    // Once the head reads as zeros the body is under way.
    std::string dst = path("dst");
    options.stop_when = [dst] {
        char first = '\xAA';
        int fd = open(dst.c_str(), O_RDONLY);
        bool started = fd >= 0 && read(fd, &first, 1) == 1 && first == '\0';
        close(fd);
        return started;
    };
    tool_run r = run({"src", "dst"}, options);
    EXPECT_NE(r.status, 0);
    struct stat info;
    ASSERT_EQ(stat(dst.c_str(), &info), 0);
    ASSERT_LT(info.st_size, length) << "not cut back";
    source.resize(static_cast<std::size_t>(info.st_size), '\0');
    EXPECT_TRUE(read_file(dst) == unsealed_output(source, insert));
}

} // namespace
