// SPDX-License-Identifier: MIT
// A USB stick as users meet it, as a loop device: one too small for SOURCE
// is refused before a byte is written, and a stop while it stalls is told
// at once and ends the run once the device moves again, with nothing more
// written than was on its way.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <iterator>
#include <regex>

#include "harness.h"
#include "test_config.h"

namespace {

constexpr long long KIB = 1024;
constexpr long long MIB = 1024 * KIB;
constexpr long long DEVICE = MIB;
// Waits that only a broken run reaches: no test passes or fails on time.
constexpr int GIVE_UP_MS = 30000;
constexpr int POLL_MS = 50;

#define SKIP_UNLESS_ROOT()                                                                         \
    if (geteuid() != 0)                                                                            \
    GTEST_SKIP() << "loop devices need root"

class Stick : public ToolTest {
  protected:
    void TearDown() override
    {
        // A run that a failed test left: let its device go, then end it.
        if (held > 0) {
            shell("echo '" + number + " 0' >" + group + "/blkio.throttle.write_bps_device");
            kill(held, SIGKILL);
            waitpid(held, nullptr, 0);
        }
        if (!group.empty())
            rmdir(group.c_str());
        ToolTest::TearDown();
    }
    // A loop device of size bytes over a file of old bytes, or "" with why.
    std::string device_of(long long size, std::string* why)
    {
        write_file(path("disk"), pattern(static_cast<std::size_t>(size), 9));
        return attach_loop(path("disk"), why);
    }
    // A cgroup v1 blkio group whose writes to device go at rate bytes a
    // second (0: no limit); false when this machine has none.
    bool throttle(const std::string& device, long long rate)
    {
        const std::string blkio = "/sys/fs/cgroup/blkio";
        struct stat info;
        if (group.empty() &&
            (access((blkio + "/blkio.throttle.write_bps_device").c_str(), W_OK) != 0 ||
             stat(device.c_str(), &info) != 0))
            return false;
        if (group.empty()) {
            group = blkio + "/talvor-stick-" + std::to_string(getpid());
            number =
                std::to_string(major(info.st_rdev)) + ":" + std::to_string(minor(info.st_rdev));
            if (mkdir(group.c_str(), 0755) != 0)
                return false;
        }
        return shell("echo '" + number + " " + std::to_string(rate) + "' >" + group +
                     "/blkio.throttle.write_bps_device") == 0;
    }
    std::string group;
    std::string number;
    pid_t held = -1; // a run on a terminal not yet waited for
};

TEST_F(Stick, DeviceShorterThanSourceIsRefusedUntouched)
{
    SKIP_UNLESS_POSIX_TOOL();
    SKIP_UNLESS_ROOT();
    std::string why;
    std::string device = device_of(DEVICE, &why);
    if (device.empty())
        GTEST_SKIP() << why;
    std::string insert = pattern(32768, 1);
    write_file(path("IP.BIN"), insert);
    std::string longer = pattern(DEVICE + 4096, 2);
    std::string fits = pattern(DEVICE, 3);
    struct size_case {
        const char* what;
        const std::string* source;
        bool piped;
        bool sparse;
        bool untouched; // refused before any write, as its length is known
    };
    const size_case cases[] = {
        {"file", &longer, false, false, true},
        {"sparse file", &longer, false, true, true},
        {"piped", &longer, true, false, false},
        {"file of the device's size", &fits, false, false, false},
        {"piped, of the device's size", &fits, true, false, false},
    };
    for (const size_case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string source = *c.source;
        if (c.sparse)
            source.replace(DEVICE / 2, DEVICE / 2, std::string(DEVICE / 2, '\0'));
        (c.sparse ? write_sparse : write_file)(path("src"), source);
        std::string before = read_file(device);
        std::string err = path("err");
        run_options options;
        options.wrapper = {"sh", "-c", "exec \"$@\" 2>\"$0\"", err};
        options.input = c.piped ? &source : nullptr;
        tool_run r = run({c.piped ? "/dev/stdin" : "src", device}, options);
        std::string after = read_file(device);
        std::string named = c.piped ? "/dev/stdin" : "src";
        if (c.source == &fits) {
            EXPECT_EQ(r.status, 0) << r.out;
            EXPECT_TRUE(after == expected_output(source, insert));
            continue;
        }
        EXPECT_EQ(r.out, r.name + ": Je ne peux pas ecrire " + device + "\n");
        EXPECT_EQ(r.status, 249);
        EXPECT_EQ(read_file(err),
                  r.name + ": " + device + ": peripherique trop petit pour " + named + "\n");
        if (c.untouched)
            EXPECT_TRUE(after == before) << "a refused run changed the device";
        else
            EXPECT_TRUE(after.substr(0, insert.size()) != insert) << "a failed run looks done";
    }
}

// The tool on a pseudo-terminal of its own, its standard error, in a group.
struct held_run {
    pid_t pid;
    int master;
    std::string screen; // all it drew
};

held_run start_held(const std::string& dir, const std::vector<std::string>& args,
                    const std::string& group)
{
    held_run h = {-1, posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC), ""};
    if (h.master < 0 || grantpt(h.master) != 0 || unlockpt(h.master) != 0)
        return h;
    struct winsize size = {};
    size.ws_row = 24;
    size.ws_col = 200;
    std::string slave = ptsname(h.master);
    h.pid = fork();
    if (h.pid != 0)
        return h;
    setsid();
    int tty = open(slave.c_str(), O_RDWR);
    int null = open("/dev/null", O_RDWR);
    std::string pid = std::to_string(getpid());
    int procs = open((group + "/cgroup.procs").c_str(), O_WRONLY);
    if (tty < 0 || null < 0 || procs < 0 || ioctl(tty, TIOCSCTTY, 0) != 0 ||
        ioctl(tty, TIOCSWINSZ, &size) != 0 || write(procs, pid.data(), pid.size()) < 0 ||
        chdir(dir.c_str()) != 0)
        _exit(126);
    dup2(null, STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    dup2(tty, STDERR_FILENO);
    close(tty);
    close(null);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE})
        signal(s, SIG_DFL);
    std::vector<std::string> argv(std::begin(TOOL_COMMAND), std::end(TOOL_COMMAND));
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> words;
    for (std::string& a : argv)
        words.push_back(a.data());
    words.push_back(nullptr);
    execvp(words[0], words.data());
    _exit(127);
}

// Whether the process has ended, leaving it to be waited for.
bool ended(pid_t pid)
{
    siginfo_t info = {};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == pid;
}

// Reads what the tool drew until holds() does, or the tool has ended, or a
// broken run's wait is over; gives holds().
bool read_until(held_run& h, const std::function<bool()>& holds)
{
    for (int waited = 0; !holds() && waited < GIVE_UP_MS; waited += POLL_MS) {
        struct pollfd ready = {h.master, POLLIN, 0};
        char chunk[4096];
        ssize_t n = poll(&ready, 1, POLL_MS) > 0 ? read(h.master, chunk, sizeof chunk) : 0;
        if (n > 0)
            h.screen.append(chunk, static_cast<std::size_t>(n));
        else if (n < 0 || ended(h.pid))
            break;
    }
    return holds();
}

// Whether the main thread waits in the kernel, where no signal reaches it.
bool held_by_kernel(pid_t pid)
{
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    std::size_t end = stat.rfind(')');
    return end != std::string::npos && stat.compare(end, 4, ") D ") == 0;
}

// Bytes as the line writes them: "768.0 Kio".
long long bytes_of(const std::string& number, const std::string& unit)
{
    double scale = unit == "o" ? 1 : unit == "Kio" ? KIB : unit == "Mio" ? MIB : MIB * KIB;
    return static_cast<long long>(std::stod(number) * scale);
}

TEST_F(Stick, StopDuringAStallIsToldAtOnceAndEndsOnceTheDeviceMoves)
{
    SKIP_UNLESS_POSIX_TOOL();
    SKIP_UNLESS_ROOT();
    std::string why;
    std::string device = device_of(64 * MIB, &why);
    if (device.empty())
        GTEST_SKIP() << why;
    // As good as stalled: nothing gets through until the test lets it.
    if (!throttle(device, 1))
        GTEST_SKIP() << "no cgroup v1 blkio controller with throttling here";
    std::string insert = pattern(32768, 1);
    write_file(path("IP.BIN"), insert);
    std::string source = pattern(48 * MIB, 2);
    write_file(path("src"), source);
    std::string old = read_file(device);
    held_run h = start_held(dir, {"src", device}, group);
    ASSERT_GT(h.pid, 0);
    held = h.pid;
    // The line shows, and the run waits for the device in the kernel.
    ASSERT_TRUE(read_until(h, [&] {
        return h.screen.find('%') != std::string::npos && held_by_kernel(h.pid);
    })) << h.screen;
    std::size_t stopped_at = h.screen.size();
    const std::regex counts("([0-9.]+) (o|Kio|Mio) sur ");
    long long done = 0;
    for (auto i = std::sregex_iterator(h.screen.begin(), h.screen.end(), counts);
         i != std::sregex_iterator(); ++i)
        done = bytes_of((*i)[1], (*i)[2]);
    kill(h.pid, SIGINT);
    const std::regex stop_line("arret demande, attend ([0-9.]+) (o|Kio|Mio) en route");
    // What the match points into lives on past each look.
    std::string since;
    std::smatch m;
    bool told = read_until(h, [&] {
        since = h.screen.substr(stopped_at);
        return std::regex_search(since, m, stop_line);
    });
    // Told while the device still held the run.
    EXPECT_TRUE(told) << h.screen;
    EXPECT_FALSE(ended(h.pid)) << "ended before the device moved";
    long long on_way = told ? bytes_of(m[1], m[2]) : 0;
    ASSERT_TRUE(throttle(device, 0));
    read_until(h, [] { return false; });
    int status = 0;
    ASSERT_EQ(waitpid(h.pid, &status, 0), h.pid);
    held = -1;
    close(h.master);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
    // Nothing was written past what was on its way when the stop came.
    std::string left = read_file(device);
    std::string unsealed = unsealed_output(source, insert);
    std::size_t written = 0;
    while (written < unsealed.size() && left[written] == unsealed[written])
        ++written;
    EXPECT_TRUE(left.substr(written) == old.substr(written));
    EXPECT_NEAR(static_cast<double>(written), static_cast<double>(done + on_way), 0.1 * MIB)
        << h.screen;
}

} // namespace
