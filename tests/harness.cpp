// SPDX-License-Identifier: MIT
#include "harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "test_config.h"

namespace fs = std::filesystem;

namespace {

const char* const CHOSEN_NAME = "talvor-essai";

// A new empty directory under the system's temporary one; empty on failure.
std::string make_temp_dir(const std::string& prefix)
{
    std::string base = fs::temp_directory_path() / (prefix + "-XXXXXX");
    std::vector<char> templ(base.begin(), base.end());
    templ.push_back('\0');
    return mkdtemp(templ.data()) != nullptr ? std::string(templ.data()) : std::string();
}

std::vector<std::string> tool_command()
{
    return std::vector<std::string>(std::begin(TOOL_COMMAND), std::end(TOOL_COMMAND));
}

struct raw_run {
    int status;
    std::string out;
    int signal;
};

// No single run may outlast a test's own bound: a hung tool fails with a
// message. Wine starts slowly, most of a minute where it is emulated; the
// bound stays under ctest's own, so that the message still comes first.
constexpr int RUN_LIMIT_S = 60;
constexpr int WINE_RUN_LIMIT_S = 540;

int run_limit_s()
{
    return tool_on_windows() ? WINE_RUN_LIMIT_S : RUN_LIMIT_S;
}
constexpr int US_PER_MS = 1000;
// How often a pending stop_when is polled, and anything else otherwise.
constexpr int STOP_POLL_MS = 1;
constexpr int IDLE_POLL_MS = 100;

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
    int in;
    int ignored_signal;
    long long file_size_limit;
};

[[noreturn]] void become_child(const child_plan& c)
{
    if (chdir(c.dir.c_str()) != 0)
        _exit(126);
    // dup2 clears the close-on-exec flag of the copy alone.
    if (dup2(c.out, STDOUT_FILENO) < 0 || dup2(c.in, STDIN_FILENO) < 0)
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
    execve(c.program.c_str(), c.argv.data(), c.envp.data());
    _exit(127);
}

// Feeds the input, collects the output and sends the stop, until the child
// closes its output or the run's bound passes; false on the latter.
bool exchange(pid_t pid, int out, int in, const run_options& options, std::string* captured)
{
    std::size_t fed = 0;
    bool stop_pending = options.stop_signal != 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(run_limit_s());
    char chunk[4096];
    while (std::chrono::steady_clock::now() < deadline) {
        if (stop_pending && options.stop_when()) {
            kill(pid, options.stop_signal);
            stop_pending = false;
        }
        pollfd fds[2] = {{out, POLLIN, 0}, {in, POLLOUT, 0}};
        int ready = poll(fds, in >= 0 ? 2 : 1, stop_pending ? STOP_POLL_MS : IDLE_POLL_MS);
        if (ready < 0 && errno != EINTR)
            return false;
        if (in >= 0 && fds[1].revents != 0) {
            ssize_t n = write(in, options.input->data() + fed, options.input->size() - fed);
            fed += n > 0 ? static_cast<std::size_t>(n) : 0;
            // All fed, or the child stopped reading: its status tells the rest.
            if ((n < 0 && errno != EAGAIN && errno != EINTR) || fed == options.input->size()) {
                close(in);
                in = -1;
            }
        }
        if (fds[0].revents == 0)
            continue;
        ssize_t n = read(out, chunk, sizeof chunk);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            break;
        captured->append(chunk, static_cast<std::size_t>(n));
    }
    if (in >= 0)
        close(in);
    return std::chrono::steady_clock::now() < deadline;
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
    ADD_FAILURE() << "the tool (pid " << pid << ") ran for over " << run_limit_s() << " s: killed";
    kill(pid, SIGKILL);
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

raw_run spawn(const std::string& dir, const std::vector<std::string>& argv,
              const std::string& program, const run_options& options)
{
    signal(SIGPIPE, SIG_IGN);
    int out[2];
    int in[2] = {-1, -1};
    // Close-on-exec, so that children spawned at once from threads hold no
    // end of each other's pipes.
    if (pipe2(out, O_CLOEXEC) != 0)
        std::abort();
    if (options.input != nullptr ? pipe2(in, O_CLOEXEC) != 0
                                 : (in[0] = open("/dev/null", O_RDONLY | O_CLOEXEC)) < 0)
        std::abort();
    child_plan c = {dir,   program_path(program),  child_environment(options.env), {}, {}, out[1],
                    in[0], options.ignored_signal, options.file_size_limit};
    c.argv = pointers(argv);
    c.envp = pointers(c.env);
    pid_t pid = fork();
    if (pid == 0)
        become_child(c);
    if (pid < 0)
        std::abort();
    close(out[1]);
    close(in[0]);
    if (in[1] >= 0)
        fcntl(in[1], F_SETFL, O_NONBLOCK);
    if (options.started)
        options.started(pid);
    std::string captured;
    bool in_time = exchange(pid, out[0], in[1], options, &captured);
    close(out[0]);
    int status = reap(pid, in_time);
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return {code, captured, WIFSIGNALED(status) ? WTERMSIG(status) : 0};
}

// Wine's server may be quitting, as the last program ended, just when the
// next one starts: that one then ends with 1 and prints nothing, which the
// tool never does, having run nothing. It is started once more.
raw_run spawn_tool(const std::string& dir, const std::vector<std::string>& argv,
                   const std::string& program, const run_options& options)
{
    raw_run r = spawn(dir, argv, program, options);
    if (TOOL_ON_WINDOWS && r.status == 1 && r.out.empty() && options.stop_signal == 0)
        r = spawn(dir, argv, program, options);
    return r;
}

std::string without_carriage_returns(std::string text)
{
    std::string plain;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
            plain += text[i];
    return plain;
}

// A Windows program sees argv[0] as the host spells it: learn it once from a
// message that starts with it.
std::string windows_name()
{
    static std::string name;
    if (!name.empty())
        return name;
    std::string dir = make_temp_dir("talvor-name");
    std::vector<std::string> argv = tool_command();
    argv.push_back("a");
    argv.push_back("b");
    raw_run r = spawn_tool(dir, argv, argv[0], {{}, nullptr, {"WINEDEBUG=-all"}});
    fs::remove_all(dir);
    std::string suffix = ": Je ne peux pas ouvrir IP.BIN\r\n";
    if (r.out.size() > suffix.size())
        name = r.out.substr(0, r.out.size() - suffix.size());
    return name;
}

// The word as one shell word, whatever it holds.
std::string quoted(const std::string& word)
{
    std::string q = "'";
    for (char c : word)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

} // namespace

bool tool_on_windows()
{
    return TOOL_ON_WINDOWS;
}

bool tool_makes_linux_calls()
{
    return TOOL_MAKES_LINUX_CALLS;
}

tool_run run_tool(const std::string& dir, const std::vector<std::string>& args,
                  const run_options& options)
{
    std::vector<std::string> argv = options.wrapper;
    std::vector<std::string> command = tool_command();
    argv.insert(argv.end(), command.begin(), command.end());
    argv.insert(argv.end(), args.begin(), args.end());
    std::string program = argv[0];
    std::string name = command.back();
    run_options opts = options;
    // Wine maps Unix names to Windows ones through the locale: pin it.
    opts.env.push_back("LC_ALL=C.UTF-8");
    if (TOOL_ON_WINDOWS) {
        opts.env.push_back("WINEDEBUG=-all");
        name = windows_name();
    } else if (options.wrapper.empty()) {
        argv[0] = CHOSEN_NAME;
        name = CHOSEN_NAME;
    }
    raw_run r = spawn_tool(dir, argv, program, opts);
    if (TOOL_ON_WINDOWS)
        r.out = without_carriage_returns(r.out);
    return {r.status, r.out, name, r.signal};
}

bool tool_is_native()
{
    // An ELF header's class, byte order and machine, read from both programs.
    auto machine = [](const std::string& file) {
        std::string header = read_file(file).substr(0, 20);
        return header.size() == 20 ? header.substr(4, 2) + header.substr(18, 2) : std::string();
    };
    std::string tool = machine(tool_command().front());
    return !TOOL_ON_WINDOWS && !tool.empty() && tool == machine("/proc/self/exe");
}

std::string shim_path(const std::string& name)
{
    if (std::strlen(TOOL_SHIM_DIR) == 0)
        return std::string();
    std::string path = std::string(TOOL_SHIM_DIR) + "/" + name + ".so";
    return access(path.c_str(), R_OK) == 0 ? path : std::string();
}

run_options preloading(const std::string& shim, std::vector<std::string> env)
{
    env.push_back("LD_PRELOAD=" + shim);
    env.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
    return {{}, nullptr, env};
}

run_options under_strace(const std::string& injection)
{
    // Only the call that fails stops the tool, filtered in the kernel: the
    // rest of the run goes at full speed.
    std::string call = injection.substr(0, injection.find(':'));
    return {{"strace", "-qq", "-f", "--seccomp-bpf", "-o", "/dev/null", "-e", "trace=" + call, "-e",
             "inject=" + injection},
            nullptr,
            {NO_LEAK_CHECK}};
}

std::string run_on_terminal(const std::string& dir, const std::vector<std::string>& args)
{
    // A wide terminal, so that no line wraps and the console draws each name whole.
    std::string inner = "stty cols 1000 2>/dev/null; exec";
    for (const std::string& word : tool_command())
        inner += " " + quoted(word);
    for (const std::string& word : args)
        inner += " " + quoted(word);
    std::vector<std::string> argv = {"script", "-qec", inner, "/dev/null"};
    return spawn(dir, argv, "script", {{}, nullptr, {"LC_ALL=C.UTF-8", "WINEDEBUG=-all"}}).out;
}

terminal_run run_with_terminal(const std::string& dir, const std::vector<std::string>& args,
                               const terminal_options& options)
{
    std::string tool;
    for (const std::string& word : tool_command())
        tool += quoted(word) + " ";
    for (const std::string& word : args)
        tool += quoted(word) + " ";
    // Lines, as the commands given may be none.
    std::string inner = "stty cols 1000 2>/dev/null\n" + options.before + "\n";
    if (options.background)
        inner += "set -m\n";
    inner += tool + ">terminal.out" + (options.error_to_file ? " 2>terminal.err" : "") +
             " & pid=$!\n" + options.feed + "\nwait $pid";
    mkfifo((dir + "/fifo").c_str(), 0600);
    std::vector<std::string> argv = {"script", "-qec", inner, "/dev/null"};
    raw_run r = spawn(dir, argv, "script", {{}, nullptr, {"LC_ALL=C.UTF-8", "WINEDEBUG=-all"}});
    terminal_run t = {r.status, r.out, read_file(dir + "/terminal.out"),
                      read_file(dir + "/terminal.err"), tool_command().back()};
    if (TOOL_ON_WINDOWS) {
        t.out = without_carriage_returns(t.out);
        t.name = windows_name();
    }
    for (const char* file : {"/terminal.out", "/terminal.err", "/fifo"})
        unlink((dir + file).c_str());
    return t;
}

bool have_program(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    std::string d;
    while (std::getline(dirs, d, ':'))
        if (access((d + "/" + name).c_str(), X_OK) == 0)
            return true;
    return false;
}

int shell(const std::string& command)
{
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string pattern(std::size_t size, unsigned salt)
{
    std::string bytes(size, '\0');
    std::uint32_t x = salt * 2654435761u + 1;
    for (char& c : bytes) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
    }
    return bytes;
}

void write_file(const std::string& path, const std::string& content)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    std::size_t done = 0;
    while (fd >= 0 && done < content.size()) {
        ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    int error = errno;
    if (fd < 0 || done < content.size() || close(fd) != 0)
        ADD_FAILURE() << "cannot write " << path << ": wrote " << done << " of " << content.size()
                      << " bytes: " << std::strerror(error);
}

void write_sparse(const std::string& path, const std::string& content)
{
    constexpr std::size_t BLOCK = 4096;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool sized = fd >= 0 && ftruncate(fd, static_cast<off_t>(content.size())) == 0;
    for (std::size_t at = 0; sized && at < content.size(); at += BLOCK) {
        std::string block = content.substr(at, BLOCK);
        if (block.find_first_not_of('\0') != std::string::npos)
            sized = pwrite(fd, block.data(), block.size(), static_cast<off_t>(at)) ==
                    static_cast<ssize_t>(block.size());
    }
    int error = errno;
    if (fd < 0 || !sized || close(fd) != 0)
        ADD_FAILURE() << "cannot write " << path << " with holes: " << std::strerror(error);
}

std::string read_file(const std::string& path)
{
    // In blocks: byte by byte, an unoptimised build takes a second for a few MiB.
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool exists(const std::string& path)
{
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

std::vector<std::string> list_dir(const std::string& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string expected_output(const std::string& source, const std::string& insert)
{
    std::string out = source;
    std::size_t n = std::min({insert.size(), std::size_t{32768}, source.size()});
    out.replace(0, n, insert, 0, n);
    return out;
}

std::string unsealed_output(const std::string& source, const std::string& insert)
{
    return expected_output(source, std::string(insert.size(), '\0'));
}

std::string usage_screen()
{
    std::string stars(77, '*');
    std::string hashes(77, '#');
    return "\n\n" + stars + "\n" +
           "TALVOR.EXE L'insertion de .bin par l'equipe talvor\n"
           "\n"
           "Utilisation: TALVOR <source> <destination>\n" +
           stars + "\n\n\n" + hashes + "\n" +
           "La <source> et IP.BIN doivent etre dans le meme repertoire.\n"
           "Ce programme ecrit dans les 32768 premiers octets, de la <source>,\n"
           "le contenu de IP.BIN.\n"
           "Cela cree un fichier qui est la <destination>.\n" +
           hashes + "\n\nBon travail et a bientot\n\n";
}

std::string same_file_refusal(const std::string& name, const std::string& destination,
                              const std::string& input)
{
    return name + ": " + destination + " et " + input + " sont le meme fichier\n";
}

std::string success_report(const std::string& name)
{
    return "\n" + name +
           ": fini!!!\n\nIP.BIN insere avec succes!!!! Felicitation.\n\n"
           "Programme ecrit par l'equipe talvor.\n"
           "Bon travail et a bientot!!!!!!!\n\n";
}

void ToolTest::SetUp()
{
    dir = make_temp_dir("talvor-test");
    ASSERT_FALSE(dir.empty());
}

std::string ToolTest::mount_xfs(std::string* why)
{
    if (geteuid() != 0) {
        *why = "mounting a loop file system needs root";
        return std::string();
    }
    if (!have_program("mkfs.xfs")) {
        *why = "mkfs.xfs (xfsprogs) is not installed";
        return std::string();
    }
    std::string image = path("xfs.img");
    std::string mnt = path("xfs");
    if (shell("truncate -s 512M " + ::quoted(image) + " && mkfs.xfs -q -m reflink=1 " +
              ::quoted(image) + " && mkdir " + ::quoted(mnt) + " && mount -o loop " +
              ::quoted(image) + " " + ::quoted(mnt)) != 0) {
        *why = "cannot make and mount an XFS image here";
        return std::string();
    }
    return mnt;
}

bool ToolTest::can_mount(const std::string& program, std::string* why)
{
    if (geteuid() != 0)
        *why = "mounting and loop devices need root";
    else if (!program.empty() && !have_program(program))
        *why = program + " is not installed";
    else
        return true;
    return false;
}

bool ToolTest::mounted(const std::string& command, const std::string& mnt, std::string* why)
{
    // Every command's output, mkfs's warnings too, is for why, not for the suite's.
    std::string log = path("mount.log");
    if (shell("mkdir -p " + ::quoted(mnt) + " && { " + command + "; } >>" + ::quoted(log) +
              " 2>&1") != 0) {
        *why = "cannot mount here: " + command + ": " + read_file(log);
        return false;
    }
    mounts.push_back(mnt);
    return true;
}

std::string ToolTest::mount_btrfs(std::string* why)
{
    std::string image = path("btrfs.img");
    std::string mnt = path("btrfs");
    if (!can_mount("mkfs.btrfs", why) ||
        !mounted("truncate -s 2G " + ::quoted(image) + " && mkfs.btrfs -q " + ::quoted(image) +
                     " && mount -o loop " + ::quoted(image) + " " + ::quoted(mnt),
                 mnt, why))
        return std::string();
    return mnt;
}

std::string ToolTest::mount_ntfs(std::string* why)
{
    std::string image = path("ntfs.img");
    std::string mnt = path("ntfs");
    if (!can_mount("mkfs.ntfs", why) || !can_mount("ntfs-3g", why) ||
        !mounted("truncate -s 256M " + ::quoted(image) + " && mkfs.ntfs -q -F -f " +
                     ::quoted(image) + " && ntfs-3g " + ::quoted(image) + " " + ::quoted(mnt),
                 mnt, why))
        return std::string();
    return mnt;
}

std::string ToolTest::mount_tmpfs(const std::string& name, const std::string& size,
                                  std::string* why)
{
    std::string mnt = path(name);
    if (!can_mount("", why) ||
        !mounted("mount -t tmpfs -o size=" + ::quoted(size) + " tmpfs " + ::quoted(mnt), mnt, why))
        return std::string();
    return mnt;
}

std::string ToolTest::mount_overlay(const std::string& upper_size, std::string* why,
                                    const std::string& lower)
{
    std::string upper = mount_tmpfs("upper", upper_size, why);
    std::string mnt = path("overlay");
    if (upper.empty() ||
        !mounted("mkdir -p " + ::quoted(path("lower")) + " " + ::quoted(upper + "/u") + " " +
                     ::quoted(upper + "/w") + " && mount -t overlay overlay -o " +
                     ::quoted(lower + path("lower") + ",upperdir=" + upper + "/u,workdir=" + upper +
                              "/w") +
                     " " + ::quoted(mnt),
                 mnt, why))
        return std::string();
    return mnt;
}

std::string ToolTest::mount_failfs(long long limit, std::string* why)
{
    if (std::strlen(TEST_FAILFS) == 0) {
        *why = "tests/failfs.c was not built: libfuse3 (libfuse3-dev) was not found";
        return std::string();
    }
    std::string backing = path("failfs-backing");
    std::string mnt = path("failfs");
    if (!can_mount("", why) || access("/dev/fuse", R_OK | W_OK) != 0 ||
        !mounted("mkdir -p " + ::quoted(backing) + " && " + ::quoted(TEST_FAILFS) + " " +
                     ::quoted(backing) + " " + std::to_string(limit) + " " + ::quoted(mnt),
                 mnt, why)) {
        if (why->empty())
            *why = "/dev/fuse is missing";
        return std::string();
    }
    return mnt;
}

std::string ToolTest::mount_device(const std::string& device, const std::string& options,
                                   std::string* why)
{
    std::string mnt = path("mnt");
    if (!can_mount("", why) ||
        !mounted("mount -o " + ::quoted(options) + " " + ::quoted(device) + " " + ::quoted(mnt),
                 mnt, why))
        return std::string();
    return mnt;
}

std::string ToolTest::attach_loop(const std::string& file, std::string* why, long long offset)
{
    if (!can_mount("losetup", why))
        return std::string();
    std::string device;
    std::string command =
        "losetup -f --show -o " + std::to_string(offset) + " " + ::quoted(file) + " 2>/dev/null";
    if (FILE* out = popen(command.c_str(), "r")) {
        char line[256];
        if (std::fgets(line, sizeof line, out) != nullptr)
            device = std::string(line, std::strcspn(line, "\n"));
        pclose(out);
    }
    if (device.empty())
        *why = "no loop device can be attached here";
    else
        loops.push_back(device);
    return device;
}

std::string ToolTest::add_partition(const std::string& device, long long start, long long end,
                                    std::string* why)
{
    constexpr long long SECTOR = 512;
    int added = 0;
    for (const std::string& p : partitions)
        added += p.rfind(device + " ", 0) == 0 ? 1 : 0;
    std::string number = std::to_string(added + 1);
    std::string partition = device + "p" + number;
    if (!have_program("addpart") ||
        shell("addpart " + ::quoted(device) + " " + number + " " + std::to_string(start / SECTOR) +
              " " + std::to_string((end - start) / SECTOR) + " 2>/dev/null") != 0) {
        *why = "no partition can be added to a loop device here (addpart)";
        return std::string();
    }
    partitions.push_back(device + " " + number);
    // devtmpfs makes the node as the kernel adds the partition, or just after.
    for (int tries = 0; tries < 50 && !exists(partition); ++tries)
        usleep(20000);
    return partition;
}

void ToolTest::TearDown()
{
    // A loop device keeps partitions added by hand past its detach.
    for (const std::string& p : partitions)
        shell("delpart " + p);
    // Loop devices first: one may hold a file on a tmpfs mounted here.
    for (const std::string& device : loops)
        shell("losetup -d " + ::quoted(device));
    for (auto m = mounts.rbegin(); m != mounts.rend(); ++m)
        shell("umount " + ::quoted(*m) + " 2>/dev/null || umount -l " + ::quoted(*m));
    if (exists(path("xfs")))
        shell("mountpoint -q " + ::quoted(path("xfs")) + " && umount " + ::quoted(path("xfs")));
    std::error_code ignored;
    fs::remove_all(dir, ignored);
}
