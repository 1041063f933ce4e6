// SPDX-License-Identifier: MIT
#include "terminal_runs.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace {

// No driven run may take longer, so that its test stays under 30 s.
constexpr double MOST_RUN_SECONDS = 25.0;
constexpr int POLL_MS = 5;
constexpr unsigned short ROWS = 24;

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The child's side: a session of its own whose controlling terminal is the
// pseudo-terminal named slave, as standard error, and standard output the
// file out; in the cgroup whose cgroup.procs is procs, unless that is empty.
[[noreturn]] void exec_on_terminal(const std::string& dir, const std::vector<std::string>& argv,
                                   const std::string& slave, const std::string& procs,
                                   const std::string& out)
{
    setsid();
    int tty = open(slave.c_str(), O_RDWR);
    int null = open("/dev/null", O_RDWR);
    int report = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (tty < 0 || null < 0 || report < 0 || ioctl(tty, TIOCSCTTY, 0) != 0 ||
        chdir(dir.c_str()) != 0)
        _exit(126);
    dup2(null, STDIN_FILENO);
    dup2(report, STDOUT_FILENO);
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

std::string trimmed(const std::string& line)
{
    return line.substr(0, line.find_last_not_of(' ') + 1);
}

// Cuts what the terminal received into lines, each a draw: text up to the
// next carriage return or line end, trailing spaces left out, blanks dropped.
struct line_cutter {
    std::string pending;
    double pending_at = 0;
    void take(const std::string& bytes, double now, std::vector<timed_line>& lines)
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
};

// Reads what the terminal has for us now, without waiting longer than ms.
std::string received(int master, int ms)
{
    struct pollfd ready = {master, POLLIN, 0};
    char chunk[4096];
    ssize_t n = poll(&ready, 1, ms) > 0 ? read(master, chunk, sizeof chunk) : 0;
    return n > 0 ? std::string(chunk, static_cast<std::size_t>(n)) : std::string();
}

} // namespace

driven_run drive_on_terminal(const std::string& dir, std::vector<std::string> argv,
                             unsigned short columns, const std::string& procs,
                             const std::vector<drive_step>& steps,
                             const std::function<void()>& give_up)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return {-1, {}, {}, {}, 0};
    struct winsize size = {};
    size.ws_row = ROWS;
    size.ws_col = columns;
    std::string slave = ptsname(master);
    int held = open(slave.c_str(), O_RDWR | O_NOCTTY);
    ioctl(held, TIOCSWINSZ, &size);
    std::replace(argv.begin(), argv.end(), std::string("{terminal}"), slave);
    std::string out = driven_output(dir);
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0)
        exec_on_terminal(dir, argv, slave, procs, out);
    driven_run r = {-1, {}, {}, {}, 0};
    line_cutter cutter;
    std::size_t next = 0;
    int status = 0;
    bool ended = false;
    while (!ended && seconds_since(start) < MOST_RUN_SECONDS) {
        std::string drawn = trimmed(cutter.pending);
        run_view view = {pid, r.lines, drawn, seconds_since(start)};
        for (; next < steps.size() && steps[next].when(view); ++next)
            steps[next].act(view);
        std::string bytes = received(master, POLL_MS);
        r.screen += bytes;
        cutter.take(bytes, seconds_since(start), r.lines);
        ended = waitpid(pid, &status, WNOHANG) == pid;
    }
    r.ended = seconds_since(start);
    if (!ended) {
        ADD_FAILURE() << "the run still went on after " << MOST_RUN_SECONDS << " s, at step "
                      << next << " of " << steps.size() << ":\n"
                      << lines_shown(r.lines);
        if (give_up)
            give_up();
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    } else {
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    EXPECT_EQ(next, steps.size()) << "the run ended before step " << next << ":\n"
                                  << lines_shown(r.lines);
    // What the tool wrote before it ended is all in the terminal by now.
    for (std::string bytes = received(master, 0); !bytes.empty(); bytes = received(master, 0)) {
        r.screen += bytes;
        cutter.take(bytes, r.ended, r.lines);
    }
    cutter.take("\r", r.ended, r.lines);
    r.out = read_file(out);
    unlink(out.c_str());
    close(held);
    close(master);
    return r;
}

std::string driven_output(const std::string& dir)
{
    return dir + ".out";
}

std::string lines_shown(const std::vector<timed_line>& lines)
{
    std::string shown;
    for (const timed_line& l : lines)
        shown += std::to_string(l.at) + " " + l.text + "\n";
    return shown;
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

std::string own_name(const std::string& invocation)
{
    std::size_t slash = invocation.find_last_of(tool_on_windows() ? "/\\" : "/");
    return slash == std::string::npos ? invocation : invocation.substr(slash + 1);
}

std::vector<std::string> lines_of(const played& screen, const std::string& invocation)
{
    std::string name = own_name(invocation);
    std::vector<std::string> lines;
    for (const std::string& line : screen.drawn)
        if (line.compare(0, name.size() + 2, name + ": ") == 0)
            lines.push_back(line.substr(name.size()));
    return lines;
}
