// SPDX-License-Identifier: MIT
#include "process.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "test_config.h"

namespace fs = std::filesystem;

namespace {

// No single run may outlast a test's own bound: a hung tool fails with a
// message. Wine starts slowly, most of a minute where it is emulated; the
// bound stays under ctest's own, so that the message still comes first.
constexpr int RUN_LIMIT_S = 60;
constexpr int WINE_RUN_LIMIT_S = 540;

int run_limit_s()
{
    return TOOL_ON_WINDOWS ? WINE_RUN_LIMIT_S : RUN_LIMIT_S;
}
constexpr int US_PER_MS = 1000;
// How often a pending stop_when is polled, and anything else otherwise.
constexpr int STOP_POLL_MS = 1;
constexpr int IDLE_POLL_MS = 100;
// What a pipe may be made to hold (fs.pipe-max-size's default): an input
// that fits is in it whole before the child starts, so that the child's
// reads of it are the same from one run to the next.
constexpr std::size_t MOST_PREFILLED = 1024 * 1024;

// The program's path as execvp would find it, looked up before fork.
std::string program_path(const std::string& program)
{
    if (program.find('/') != std::string::npos)
        return program;
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    for (std::string d; std::getline(dirs, d, ':');)
        if (access((d + "/" + program).c_str(), X_OK) == 0)
            return d + "/" + program;
    return program;
}

// This process's environment with each NAME=value given put in place of
// that NAME's, as putenv would.
std::vector<std::string> child_environment(const std::vector<std::string>& added)
{
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e)
        env.emplace_back(*e);
    for (const std::string& a : added) {
        std::string name = a.substr(0, a.find('=') + 1);
        env.erase(std::remove_if(env.begin(), env.end(),
                                 [&name](const std::string& e) { return e.rfind(name, 0) == 0; }),
                  env.end());
        env.push_back(a);
    }
    return env;
}

std::vector<char*> pointers(const std::vector<std::string>& words)
{
    std::vector<char*> p;
    for (const std::string& w : words)
        p.push_back(const_cast<char*>(w.c_str()));
    p.push_back(nullptr);
    return p;
}

// Everything the child needs, made before fork: in a process that may have
// other threads, the child may only make async-signal-safe calls.
struct child_plan {
    std::string dir;
    std::string program;
    std::vector<std::string> env;
    std::vector<char*> argv;
    std::vector<char*> envp;
    int out;
    int err;
    int in;
    int ignored_signal;
    long long file_size_limit;
    bool as_nobody;
    uid_t uid;
    gid_t gid;
};

[[noreturn]] void become_child(const child_plan& c)
{
    if (chdir(c.dir.c_str()) != 0)
        _exit(126);
    // dup2 clears the close-on-exec flag of the copy alone.
    if (dup2(c.out, STDOUT_FILENO) < 0 || dup2(c.err, STDERR_FILENO) < 0 ||
        dup2(c.in, STDIN_FILENO) < 0)
        _exit(126);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
        struct sigaction action = {};
        action.sa_handler = s == c.ignored_signal ? SIG_IGN : SIG_DFL;
        sigaction(s, &action, nullptr);
    }
    if (c.file_size_limit >= 0) {
        rlimit limit = {static_cast<rlim_t>(c.file_size_limit),
                        static_cast<rlim_t>(c.file_size_limit)};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (c.as_nobody && (setgroups(0, nullptr) != 0 || setgid(c.gid) != 0 || setuid(c.uid) != 0))
        _exit(126);
    execve(c.program.c_str(), c.argv.data(), c.envp.data());
    _exit(127);
}

// Reads what is there into text; false once the pipe is closed.
bool drain(int fd, std::string* text)
{
    char chunk[4096];
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return true;
    if (n <= 0)
        return false;
    text->append(chunk, static_cast<std::size_t>(n));
    return true;
}

// Feeds the input, collects both outputs and sends the stop, until the
// child closes its outputs or the run's bound passes; false on the latter.
bool exchange(pid_t pid, int out, int err, int in, std::size_t fed, const run_options& options,
              raw_run* r)
{
    bool stop_pending = options.stop_signal != 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(run_limit_s());
    while ((out >= 0 || err >= 0) && std::chrono::steady_clock::now() < deadline) {
        if (stop_pending && options.stop_when()) {
            kill(options.stop_whom ? options.stop_whom() : pid, options.stop_signal);
            stop_pending = false;
        }
        pollfd fds[3] = {{out, POLLIN, 0}, {err, POLLIN, 0}, {in, POLLOUT, 0}};
        int ready = poll(fds, 3, stop_pending ? STOP_POLL_MS : IDLE_POLL_MS);
        if (ready < 0 && errno != EINTR)
            return false;
        if (in >= 0 && fds[2].revents != 0) {
            ssize_t n = write(in, options.input->data() + fed, options.input->size() - fed);
            fed += n > 0 ? static_cast<std::size_t>(n) : 0;
            // All fed, or the child stopped reading: its status tells the rest.
            if ((n < 0 && errno != EAGAIN && errno != EINTR) || fed == options.input->size()) {
                close(in);
                in = -1;
            }
        }
        if (out >= 0 && fds[0].revents != 0 && !drain(out, &r->out)) {
            close(out);
            out = -1;
        }
        if (err >= 0 && fds[1].revents != 0 && !drain(err, &r->err)) {
            close(err);
            err = -1;
        }
    }
    for (int fd : {in, out, err})
        if (fd >= 0)
            close(fd);
    return out < 0 && err < 0;
}

// Reaps the child within what is left of a bound; kills it past that.
int reap(pid_t pid, bool in_time)
{
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(run_limit_s());
    while (in_time) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            return status;
        if (done < 0 && errno != EINTR)
            return status;
        in_time = std::chrono::steady_clock::now() < deadline;
        usleep(STOP_POLL_MS * US_PER_MS);
    }
    ADD_FAILURE() << "the child (pid " << pid << ") ran for over " << run_limit_s() << " s: killed";
    kill(pid, SIGKILL);
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

// The child's standard input: /dev/null, or a pipe with as much of the
// input already in it as it takes, all of it where it fits (its write end
// then closed, and ends[1] -1). Gives the bytes fed, or -1.
ssize_t input_pipe(const std::string* input, int ends[2])
{
    if (input == nullptr) {
        ends[1] = -1;
        return (ends[0] = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0 ? 0 : -1;
    }
    if (pipe2(ends, O_CLOEXEC) != 0)
        return -1;
    fcntl(ends[1], F_SETFL, O_NONBLOCK);
    if (input->empty() || input->size() > MOST_PREFILLED ||
        fcntl(ends[1], F_SETPIPE_SZ, static_cast<int>(input->size())) < 0)
        return 0;
    ssize_t n = write(ends[1], input->data(), input->size());
    if (n == static_cast<ssize_t>(input->size())) {
        close(ends[1]);
        ends[1] = -1;
    }
    return std::max<ssize_t>(n, 0);
}

} // namespace

raw_run spawn(const std::string& dir, const std::vector<std::string>& argv,
              const std::string& program, const run_options& options)
{
    signal(SIGPIPE, SIG_IGN);
    int out[2];
    int err[2];
    int in[2];
    // Close-on-exec, so that children spawned at once from threads hold no
    // end of each other's pipes.
    ssize_t fed = -1;
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0 ||
        (fed = input_pipe(options.input, in)) < 0)
        std::abort();
    if (options.out >= 0) {
        close(out[0]);
        close(out[1]);
        out[0] = -1;
        out[1] = options.out;
    }
    child_plan c = {dir,
                    program_path(program),
                    child_environment(options.env),
                    {},
                    {},
                    out[1],
                    err[1],
                    in[0],
                    options.ignored_signal,
                    options.file_size_limit,
                    options.as_nobody,
                    0,
                    0};
    if (options.as_nobody) {
        const passwd* user = getpwnam("nobody");
        c.uid = user != nullptr ? user->pw_uid : 0;
        c.gid = user != nullptr ? user->pw_gid : 0;
    }
    c.argv = pointers(argv);
    c.envp = pointers(c.env);
    pid_t pid = fork();
    if (pid == 0)
        become_child(c);
    if (pid < 0)
        std::abort();
    if (options.out < 0)
        close(out[1]);
    close(err[1]);
    close(in[0]);
    if (options.started)
        options.started(pid);
    raw_run r = {0, {}, {}, 0};
    bool in_time = exchange(pid, out[0], err[0], in[1], static_cast<std::size_t>(fed), options, &r);
    int status = reap(pid, in_time);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return r;
}

std::string make_temp_dir(const std::string& prefix)
{
    std::string base = fs::temp_directory_path() / (prefix + "-XXXXXX");
    std::vector<char> templ(base.begin(), base.end());
    templ.push_back('\0');
    return mkdtemp(templ.data()) != nullptr ? std::string(templ.data()) : std::string();
}

std::string quoted(const std::string& word)
{
    std::string q = "'";
    for (char c : word)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}
