// SPDX-License-Identifier: MIT
#include "stacks_harness.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "test_config.h"

namespace {

// The invocation name the tool is given, as the plain harness gives its own.
const char* const STACK_RUN_NAME = "talvor-essai";
// How often a bounded wait looks again.
constexpr int POLL_MS = 10;
constexpr int MS_PER_US = 1000;

std::vector<char*> argv_of(std::vector<std::string>& words)
{
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(&w[0]);
    argv.push_back(nullptr);
    return argv;
}

// In the child, after fork: becomes nobody, or exits 126.
void become_nobody()
{
    uid_t uid = 0;
    gid_t gid = 0;
    if (!nobody_ids(&uid, &gid) || setgroups(0, nullptr) != 0 || setgid(gid) != 0 ||
        setuid(uid) != 0)
        _exit(126);
}

// In the child: its files, signals, user and environment, then the tool.
[[noreturn]] void exec_tool(const std::string& dir, std::vector<std::string> argv, int out,
                            const child_io& io)
{
    if (chdir(dir.c_str()) != 0)
        _exit(126);
    dup2(out, STDOUT_FILENO);
    int null = open("/dev/null", O_RDONLY);
    dup2(null, STDIN_FILENO);
    // The test ignores SIGPIPE; the tool must meet it as a shell starts it.
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE})
        signal(s, SIG_DFL);
    if (io.as_nobody)
        become_nobody();
    putenv(strdup("LC_ALL=C.UTF-8"));
    for (const std::string& e : io.env)
        putenv(strdup(e.c_str()));
    std::string program = argv[0];
    argv[0] = STACK_RUN_NAME;
    std::vector<char*> args = argv_of(argv);
    execvp(program.c_str(), args.data());
    _exit(127);
}

// Reads what the run has written so far, without waiting.
void drain(started_tool& run)
{
    char chunk[4096];
    ssize_t n;
    while (run.out >= 0 && (n = read(run.out, chunk, sizeof chunk)) > 0)
        run.captured.append(chunk, static_cast<std::size_t>(n));
}

// Reaps the run if it has ended; fills r.
bool reaped(started_tool& run, tool_run& r)
{
    int status = 0;
    if (waitpid(run.pid, &status, WNOHANG) != run.pid)
        return false;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return true;
}

} // namespace

bool nobody_ids(uid_t* uid, gid_t* gid)
{
    const passwd* user = getpwnam("nobody");
    if (user == nullptr)
        return false;
    *uid = user->pw_uid;
    *gid = user->pw_gid;
    return true;
}

started_tool start_tool(const std::string& dir, const std::vector<std::string>& args,
                        const child_io& io)
{
    signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> argv(std::begin(TOOL_COMMAND), std::end(TOOL_COMMAND));
    // Another user may not reach the clone's build: a copy of the tool it can.
    std::string why;
    if (io.as_nobody && !tool_for_anyone(&why).empty())
        argv = {tool_for_anyone(&why)};
    argv.insert(argv.end(), args.begin(), args.end());
    started_tool run;
    run.name = STACK_RUN_NAME;
    int pipe_ends[2] = {-1, -1};
    if (io.out < 0 && pipe2(pipe_ends, O_CLOEXEC) != 0)
        return run;
    run.pid = fork();
    if (run.pid == 0)
        exec_tool(dir, argv, io.out < 0 ? pipe_ends[1] : io.out, io);
    if (io.out < 0) {
        close(pipe_ends[1]);
        run.out = pipe_ends[0];
        fcntl(run.out, F_SETFL, O_NONBLOCK);
    }
    return run;
}

bool still_running_after(started_tool& run, int ms)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        drain(run);
        siginfo_t info = {};
        // WNOWAIT: an ended run stays to be reaped by finish_tool.
        if (waitid(P_PID, static_cast<id_t>(run.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == run.pid)
            return false;
        usleep(POLL_MS * MS_PER_US);
    }
    return true;
}

tool_run finish_tool(started_tool& run, int timeout_ms, bool* timed_out)
{
    tool_run r = {-1, "", run.name, 0};
    *timed_out = false;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (run.pid > 0 && !reaped(run, r)) {
        drain(run);
        if (std::chrono::steady_clock::now() >= end && !*timed_out) {
            *timed_out = true;
            kill(run.pid, SIGKILL);
        }
        usleep(POLL_MS * MS_PER_US);
    }
    drain(run);
    if (run.out >= 0)
        close(run.out);
    run.out = -1;
    run.pid = -1;
    r.out = run.captured;
    return r;
}

tool_run run_tool_with(const std::string& dir, const std::vector<std::string>& args,
                       const child_io& io, int timeout_ms)
{
    started_tool run = start_tool(dir, args, io);
    bool timed_out = false;
    tool_run r = finish_tool(run, timeout_ms, &timed_out);
    EXPECT_FALSE(timed_out) << "the run was still going after " << timeout_ms << " ms";
    return r;
}

bool StackTest::mount_with(const std::string& command, const std::string& mnt, std::string* why)
{
    if (geteuid() != 0) {
        *why = "mounting needs root";
        return false;
    }
    std::string log = path("stack-mount.log");
    if (shell("cd " + dir + " && { " + command + "; } >" + log + " 2>&1") != 0) {
        *why = "cannot mount here: " + command + ": " + read_file(log);
        return false;
    }
    own_mounts.push_back(mnt);
    return true;
}

bool StackTest::unmount_now(const std::string& mnt)
{
    for (auto m = own_mounts.begin(); m != own_mounts.end(); ++m)
        if (*m == mnt) {
            own_mounts.erase(m);
            return shell("umount " + mnt) == 0;
        }
    return false;
}

pid_t StackTest::start_holder(const std::vector<std::string>& argv, const std::string& cwd)
{
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        if (chdir(cwd.c_str()) != 0)
            _exit(126);
        std::vector<std::string> words = argv;
        std::vector<char*> args = argv_of(words);
        execvp(args[0], args.data());
        _exit(127);
    }
    if (pid > 0)
        holders.push_back(pid);
    return pid;
}

bool StackTest::appears_within(const std::string& file, int ms)
{
    for (int waited = 0; waited < ms; waited += POLL_MS) {
        if (exists(file))
            return true;
        usleep(POLL_MS * MS_PER_US);
    }
    return exists(file);
}

bool StackTest::make_ext4(const std::string& name, const std::string& size, std::string* why)
{
    *why = "cannot make an ext4 image here (mkfs.ext4, e2fsck)";
    return have_program("mkfs.ext4") && have_program("e2fsck") &&
           shell("truncate -s " + size + " " + path(name) +
                 " && mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 " + path(name) +
                 " >/dev/null 2>&1") == 0;
}

bool StackTest::mount_image(const std::string& name, const std::string& mnt, std::string* why)
{
    mkdir(path(mnt).c_str(), 0755);
    return mount_with("mount -o loop " + path(name) + " " + path(mnt), path(mnt), why);
}

void StackTest::detach_at_end(const std::string& device)
{
    own_loops.push_back(device);
}

void StackTest::TearDown()
{
    // A namespace's mounts go with its last process, once no loop device holds their files.
    for (pid_t pid : holders) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    for (const std::string& device : own_loops)
        shell("losetup -d " + device);
    for (auto m = own_mounts.rbegin(); m != own_mounts.rend(); ++m)
        shell("umount " + *m + " 2>/dev/null || umount -l " + *m);
    ToolTest::TearDown();
}
