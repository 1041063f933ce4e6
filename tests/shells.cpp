// SPDX-License-Identifier: MIT
#include "shells.h"

#include <algorithm>
#include <cstdio>

#include "test_config.h"

errors_run run_keeping_errors(const std::string& dir, const std::vector<std::string>& args,
                              run_options options)
{
    std::string file = dir + ".stderr";
    std::vector<std::string> wrapper = {"sh", "-c", "exec \"$@\" 2>\"$0\"", file};
    wrapper.insert(wrapper.end(), options.wrapper.begin(), options.wrapper.end());
    options.wrapper = wrapper;
    errors_run r = {run_tool(dir, args, options), std::string()};
    if (exists(file))
        r.err = read_file(file);
    // Windows ends lines in CR LF, as the harness takes them off standard output.
    if (tool_on_windows())
        r.err.erase(std::remove(r.err.begin(), r.err.end(), '\r'), r.err.end());
    std::remove(file.c_str());
    return r;
}

errors_run run_from_shell(const std::string& dir, shell_kind from,
                          const std::vector<std::string>& args, const std::string& redirections)
{
    run_options options;
    if (from == shell_kind::sh) {
        options.wrapper = {"sh", "-c", "exec \"$@\" " + redirections, "sh"};
        return run_keeping_errors(dir, args, options);
    }
    // cmd starts talvor.exe by the Windows name that the harness knows it by
    // (a run of true, which starts nothing, tells it).
    run_options nothing;
    nothing.wrapper = {"true"};
    std::string line = run_tool(dir, {}, nothing).name;
    for (const std::string& arg : args)
        line += " " + arg;
    options.wrapper = {"sh", "-c", "exec \"$0\" cmd /c \"$1\"", TOOL_COMMAND[0],
                       line + " " + redirections};
    return run_keeping_errors(dir, {}, options);
}

std::string windows_lines(const std::string& text)
{
    std::string lines;
    for (char c : text)
        lines += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return lines;
}
