// SPDX-License-Identifier: MIT
#include "faults.h"

#include <signal.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <regex>
#include <sstream>

#include "process.h"

namespace {

// The signal that a fault like "write:signal=KILL:when=2" sends, or 0.
int injected_signal(const std::string& fault)
{
    static const std::map<std::string, int> signals = {
        {"KILL", SIGKILL}, {"SIGKILL", SIGKILL}, {"TERM", SIGTERM}, {"SIGTERM", SIGTERM},
        {"INT", SIGINT},   {"SIGINT", SIGINT},   {"HUP", SIGHUP},   {"SIGHUP", SIGHUP}};
    std::smatch m;
    static const std::regex signal_fault(":signal=([A-Z0-9]+)");
    if (!std::regex_search(fault, m, signal_fault))
        return 0;
    auto found = signals.find(m[1]);
    return found == signals.end() ? -1 : found->second;
}

// The faults of a run, given apart by ';'.
std::vector<std::string> injections(const std::string& faults)
{
    std::vector<std::string> each;
    std::istringstream parts(faults);
    for (std::string fault; std::getline(parts, fault, ';');)
        if (!fault.empty())
            each.push_back(fault);
    return each;
}

} // namespace

std::vector<std::string> strace_words(const run_options& options, const std::string& log)
{
    // Every system call stops a tool traced without a filter in the kernel;
    // with one, strace 6.1 sends no injected signal, so only an error is
    // injected through it.
    std::vector<std::string> words = {"strace", "-f", "-qq", "-y", "-o", log};
    bool signals = false;
    std::string calls;
    for (const std::string& fault : injections(options.fault)) {
        signals = signals || injected_signal(fault) != 0;
        calls += (calls.empty() ? "" : ",") + fault.substr(0, fault.find(':'));
        words.insert(words.end(), {"-e", "inject=" + fault});
    }
    if (!calls.empty())
        words.insert(words.end(), {"-e", "trace=" + calls});
    if (!calls.empty() && !signals)
        words.push_back("--seccomp-bpf");
    bool piped = false;
    for (const std::string& file : options.traced_files) {
        piped = piped || file == "-";
        if (file != "-")
            words.insert(words.end(), {"-P", file});
    }
    if (!piped)
        return words;
    // Standard input's pipe is named by the kernel once it is made: a shell
    // in its place reads the name, then becomes strace.
    std::string script = "exec";
    for (const std::string& w : words)
        script += " " + quoted(w);
    script += " -P \"$(readlink /proc/$$/fd/0)\" \"$@\"";
    return {"sh", "-c", script, "sh"};
}

bool fault_fired(const run_options& options, const tool_run& r, const std::string& log)
{
    std::string text = read_file(log);
    for (const std::string& fault : injections(options.fault)) {
        int signal = injected_signal(fault);
        std::string call = fault.substr(0, fault.find(':'));
        // The call's line, or the end of one cut short by another thread's.
        const std::regex changed("(^|\\n)(\\d+ +)?(" + call + "\\(|<\\.\\.\\. " + call +
                                 " resumed>)[^\\n]*\\((INJECTED|DELAYED)\\)");
        if (signal != 0 ? r.signal != signal : !std::regex_search(text, changed))
            return false;
    }
    return true;
}

std::vector<traced_call> traced_calls(const std::string& log)
{
    // "PID name(args) = result", as strace -f logs it; signals, exits and
    // the halves of a call cut by another thread's are left out.
    static const std::regex call(R"(^(\d+ +)?([a-z0-9_]+)\()");
    std::vector<traced_call> calls;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (std::regex_search(line, m, call))
            calls.push_back({m[2], line.substr(static_cast<std::size_t>(m.position(2)))});
    }
    return calls;
}

std::string injected_reason(const std::string& fault)
{
    static const std::map<std::string, std::string> phrases = {
        {"EIO", "erreur d'entree-sortie"}, {"ENOSPC", "plus de place"},
        {"EDQUOT", "plus de place"},       {"EPERM", "permission refusee"},
        {"EACCES", "permission refusee"},  {"EROFS", "systeme de fichiers en lecture seule"},
        {"EFBIG", "fichier trop grand"},   {"EINVAL", std::strerror(EINVAL)},
        {"EMFILE", std::strerror(EMFILE)}, {"EXDEV", std::strerror(EXDEV)}};
    std::smatch m;
    static const std::regex error_fault(":error=([A-Z0-9]+)");
    if (!std::regex_search(fault, m, error_fault))
        return std::string();
    auto found = phrases.find(m[1]);
    return found == phrases.end() ? std::string() : found->second;
}
