// SPDX-License-Identifier: MIT
// Runs of the tool under test: named as a user would start it, under strace
// with a fault that must take effect, on a terminal, or as another user.
#include "harness.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <sstream>

#include "faults.h"
#include "process.h"
#include "test_config.h"

namespace fs = std::filesystem;

namespace {

const char* const CHOSEN_NAME = "talvor-essai";

std::vector<std::string> tool_command()
{
    return std::vector<std::string>(std::begin(TOOL_COMMAND), std::end(TOOL_COMMAND));
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

// What strace itself says on standard error is not the tool's.
std::string without_strace_lines(const std::string& err)
{
    std::istringstream lines(err);
    std::string kept;
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("strace: ", 0) != 0)
            kept += line + "\n";
    return kept;
}

// The copy that tool_for_anyone makes, removed as the tests' process ends.
struct shared_copy {
    std::string dir;
    std::string tool;
    ~shared_copy()
    {
        std::error_code ignored;
        if (!dir.empty())
            fs::remove_all(dir, ignored);
    }
};

} // namespace

bool tool_on_windows()
{
    return TOOL_ON_WINDOWS;
}

bool tool_makes_linux_calls()
{
    return TOOL_MAKES_LINUX_CALLS;
}

std::string tool_for_anyone(std::string* why)
{
    static shared_copy copy;
    if (!copy.tool.empty())
        return copy.tool;
    std::vector<std::string> command = tool_command();
    if (command.size() != 1) {
        *why = "the tool under test is started through another program";
        return std::string();
    }
    std::error_code failed;
    copy.dir = make_temp_dir("talvor-tool");
    std::string tool = copy.dir + "/" + fs::path(command[0]).filename().string();
    if (copy.dir.empty() || chmod(copy.dir.c_str(), 0755) != 0 ||
        !fs::copy_file(command[0], tool, failed) || chmod(tool.c_str(), 0755) != 0) {
        *why = "cannot copy the tool to " + copy.dir + " for another user to run";
        return std::string();
    }
    copy.tool = tool;
    return tool;
}

tool_run run_tool(const std::string& dir, const std::vector<std::string>& args,
                  const run_options& options)
{
    std::string log = dir + ".strace.log";
    bool traced = !options.fault.empty() || options.trace != nullptr;
    std::vector<std::string> argv =
        traced ? strace_words(options, log) : std::vector<std::string>();
    argv.insert(argv.end(), options.wrapper.begin(), options.wrapper.end());
    std::vector<std::string> command = tool_command();
    std::string why;
    if (options.as_nobody && !tool_for_anyone(&why).empty())
        command = {tool_for_anyone(&why)};
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
    } else if (argv.size() == command.size() + args.size()) {
        argv[0] = CHOSEN_NAME;
        name = CHOSEN_NAME;
    }
    if (traced) // LeakSanitizer cannot run under ptrace; the untraced runs still check leaks.
        opts.env.push_back("ASAN_OPTIONS=detect_leaks=0");
    raw_run raw = spawn_tool(dir, argv, program, opts);
    if (TOOL_ON_WINDOWS) {
        raw.out = without_carriage_returns(raw.out);
        raw.err = without_carriage_returns(raw.err);
    }
    tool_run r = {raw.status, raw.out, name, raw.signal,
                  traced ? without_strace_lines(raw.err) : raw.err};
    if (options.trace != nullptr)
        *options.trace = read_file(log);
    if (!options.fault.empty()) {
        r.fired = fault_fired(options, r, log);
        EXPECT_TRUE(r.fired) << "the fault " << options.fault << " never took effect: status "
                             << r.status << ", " << read_file(log);
    }
    std::remove(log.c_str());
    return r;
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

run_options under_strace(const std::string& injection, std::vector<std::string> files)
{
    run_options options;
    options.fault = injection;
    options.traced_files = std::move(files);
    return options;
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
