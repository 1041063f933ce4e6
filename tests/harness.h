// SPDX-License-Identifier: MIT
// Runs the built tool as a child process and handles the files around it:
// the runs in harness.cpp, the child process in process.cpp, the faults in
// faults.cpp, the files in test_files.cpp, the fixture's mounts in mounts.cpp.
#ifndef TALVOR_TESTS_HARNESS_H
#define TALVOR_TESTS_HARNESS_H

#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

struct tool_run {
    int status;           // as a POSIX shell shows it: -1 is 255
    std::string out;      // standard output, line ends as "\n"
    std::string name;     // the invocation name the tool saw
    int signal = 0;       // the signal that ended it, or 0
    std::string err = {}; // standard error, strace's own lines left out
    bool fired = false;   // the fault injected took effect
};

struct run_options {
    std::vector<std::string> wrapper;   // e.g. strace and its options
    const std::string* input = nullptr; // fed on standard input
    std::vector<std::string> env;       // NAME=value added to the child's
    // The child starts with every stop signal at its default action, as in a
    // terminal's foreground job, except this one, ignored as under nohup.
    int ignored_signal = 0;
    long long file_size_limit = -1; // bytes, as ulimit -f sets it
    // Sent once stop_when() holds, polled while the tool runs, to the child
    // started or to the process stop_whom() names (the tool under strace).
    int stop_signal = 0;
    std::function<bool()> stop_when = {};
    std::function<int()> stop_whom = {};
    // The child's standard output, instead of a pipe that the run reads.
    int out = -1;
    // Told the child's pid as it starts, for tests that watch or stop it.
    std::function<void(int)> started = {};
    // Run as user nobody, from a copy of the tool that user can reach.
    bool as_nobody = false;
    // A fault strace injects ("write:error=EIO:when=2"; several apart by ';'), counted on the calls
    // on traced_files alone when there are any ("-" for standard input's
    // pipe); a run in which it does not take effect fails the test.
    std::string fault = {};
    std::vector<std::string> traced_files = {};
    // When set, gets strace's log of those calls (all, or the fault's own).
    std::string* trace = nullptr;
};

tool_run run_tool(const std::string& dir, const std::vector<std::string>& args,
                  const run_options& options = {});

// Runs the tool in dir on a pseudo-terminal, as a console user would; returns
// what the terminal received, control sequences included.
std::string run_on_terminal(const std::string& dir, const std::vector<std::string>& args);

// A run with standard error on a pseudo-terminal, or in a file, and standard
// output in a file, as a user who keeps the report sees it.
struct terminal_options {
    std::string before; // shell commands run in dir before the tool starts
    // Shell commands run once the tool has started, its pid in $pid; a FIFO
    // named "fifo" is made in dir for them to feed it through.
    std::string feed;
    bool error_to_file = false;
    bool background = false; // a background job of a shell with job control
};

struct terminal_run {
    int status;         // as a POSIX shell shows it
    std::string screen; // what the terminal received, control sequences included
    std::string out;    // standard output, line ends as "\n"
    std::string err;    // standard error, when it went to a file
    std::string name;   // the invocation name the tool saw
};

terminal_run run_with_terminal(const std::string& dir, const std::vector<std::string>& args,
                               const terminal_options& options);

bool tool_on_windows();
// False for a tool built with the POSIX calls alone, as other systems get it.
bool tool_makes_linux_calls();
// Whether the tool is an executable of this machine's own architecture,
// which ptrace sees making its own system calls, not an emulator's.
bool tool_is_native();
// The shim of that name built for the tool under test, or "" when none was.
std::string shim_path(const std::string& name);
// Options that preload a shim into the tool, with the environment it reads.
run_options preloading(const std::string& shim, std::vector<std::string> env = {});
bool have_program(const std::string& name);
// Runs a shell command; returns its exit status.
int shell(const std::string& command);

#define SKIP_UNLESS_POSIX_TOOL()                                                                   \
    if (tool_on_windows())                                                                         \
    GTEST_SKIP() << "needs a POSIX tool: /dev, /proc, pipes, ptrace and preloading are the host's"

#define SKIP_UNLESS_STRACE()                                                                       \
    SKIP_UNLESS_POSIX_TOOL();                                                                      \
    if (!have_program("strace"))                                                                   \
    GTEST_SKIP() << "strace is not installed"

// strace sees the tool's own calls, named and numbered as on this processor,
// only when the tool is built for it: an emulator's calls are its own.
#define SKIP_UNLESS_TRACEABLE()                                                                    \
    SKIP_UNLESS_STRACE();                                                                          \
    if (!tool_is_native())                                                                         \
    GTEST_SKIP() << "strace must see the tool's own calls, not an emulator's"

#define SKIP_UNLESS_LINUX_CALLS(what)                                                              \
    if (!tool_makes_linux_calls())                                                                 \
    GTEST_SKIP() << "needs " what ", which a tool built for POSIX alone does not make"

// LeakSanitizer cannot run under ptrace; the untraced runs still check leaks.
constexpr const char* NO_LEAK_CHECK = "ASAN_OPTIONS=detect_leaks=0";

// Runs the tool under strace with one fault injected, e.g. "write:error=EIO:when=2",
// counted on the calls on files alone when any are named.
run_options under_strace(const std::string& injection, std::vector<std::string> files = {});

// A copy of the tool that any user can run, wherever the clone is; "" with
// the reason when none can be made.
std::string tool_for_anyone(std::string* why);

std::string pattern(std::size_t size, unsigned salt);
void write_file(const std::string& path, const std::string& content);
// Like write_file, but leaves a hole wherever a 4 KiB block holds only zeros.
void write_sparse(const std::string& path, const std::string& content);
std::string read_file(const std::string& path);
bool exists(const std::string& path);
std::vector<std::string> list_dir(const std::string& dir);

// The source with the first min(IP.BIN, 32768, source) bytes taken from IP.BIN.
std::string expected_output(const std::string& source, const std::string& insert);
// The same with zeros where IP.BIN goes: what a run that did not finish may
// leave a prefix of.
std::string unsealed_output(const std::string& source, const std::string& insert);

std::string usage_screen();
std::string success_report(const std::string& name);
// The refusal of a DEST that is, or shows, one of the inputs.
std::string same_file_refusal(const std::string& name, const std::string& destination,
                              const std::string& input);

// Each test gets a fresh directory, removed afterwards.
class ToolTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    std::string path(const std::string& name) const
    {
        return dir + "/" + name;
    }
    tool_run run(const std::vector<std::string>& args, const run_options& options = {})
    {
        return run_tool(dir, args, options);
    }
    // Mounts a fresh XFS with reflink in this test's directory, unmounted at
    // the end; "" with the reason when this machine cannot.
    std::string mount_xfs(std::string* why);
    // Like mount_xfs, each of these makes or mounts something in this test's
    // directory, undone at the end, or gives "" with the reason.
    // A Btrfs of 2 GiB on a loop file, at path("btrfs").
    std::string mount_btrfs(std::string* why);
    // An NTFS through ntfs-3g on a loop file, at path("ntfs").
    std::string mount_ntfs(std::string* why);
    // A tmpfs of size ("1M"...) at path(name).
    std::string mount_tmpfs(const std::string& name, const std::string& size, std::string* why);
    // An overlay at path("overlay") with path("lower") as its lower layer and
    // path("upper/u") as its upper one, on a tmpfs of upper_size; the lower
    // layer given with the option lower ("lowerdir=", or "lowerdir+=").
    std::string mount_overlay(const std::string& upper_size, std::string* why,
                              const std::string& lower = "lowerdir=");
    // The FUSE file system of tests/failfs.c over path("failfs-backing"),
    // failing past limit bytes, at path("failfs").
    std::string mount_failfs(long long limit, std::string* why);
    // A loop block device over file from offset on, e.g. "/dev/loop3".
    std::string attach_loop(const std::string& file, std::string* why, long long offset = 0);
    // A partition of bytes [start, end) added to a loop device, e.g.
    // "/dev/loop3p1", without any partition table.
    std::string add_partition(const std::string& device, long long start, long long end,
                              std::string* why);
    // The file system on device, mounted with options at path("mnt").
    std::string mount_device(const std::string& device, const std::string& options,
                             std::string* why);
    std::string dir;

  private:
    bool can_mount(const std::string& program, std::string* why);
    bool mounted(const std::string& command, const std::string& mnt, std::string* why);
    std::vector<std::string> mounts;
    std::vector<std::string> loops;
    std::vector<std::string> partitions; // "DEVICE NUMBER", for delpart
};

#endif
