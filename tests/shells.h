// SPDX-License-Identifier: MIT
// Runs of the tool as a user starts them from a shell: standard error kept
// in a file, redirections typed into sh or into Windows's cmd.
#ifndef TALVOR_TESTS_SHELLS_H
#define TALVOR_TESTS_SHELLS_H

#include <string>
#include <vector>

#include "harness.h"

struct errors_run {
    tool_run run;
    std::string err; // standard error, whole, line ends as "\n"
};

// Standard error goes to a file beside dir, so that dir holds only what the
// tool left.
errors_run run_keeping_errors(const std::string& dir, const std::vector<std::string>& args,
                              run_options options = {});

// The shells that a user types redirections into: any POSIX shell, and
// Windows's cmd, which opens a redirection's file for writing and keeps it
// open, shared, while the tool runs.
enum class shell_kind { sh, cmd };

// Runs the tool on args from a shell, with redirections as typed after them
// (">> src", "2>> IP.BIN"). Standard output and error that they leave alone
// go to run.out and err, as above.
errors_run run_from_shell(const std::string& dir, shell_kind from,
                          const std::vector<std::string>& args, const std::string& redirections);

// Text as talvor.exe writes it into a file: each line ending in CR LF.
std::string windows_lines(const std::string& text);

#define SKIP_UNLESS_WINDOWS_TOOL()                                                                 \
    if (!tool_on_windows())                                                                        \
    GTEST_SKIP() << "talvor.exe only"

#endif
