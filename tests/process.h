// SPDX-License-Identifier: MIT
// A child process of the tests: started in a directory with its standard
// streams in pipes, fed, read and reaped within a bound. What harness.cpp
// builds every run of the tool on.
#ifndef TALVOR_TESTS_PROCESS_H
#define TALVOR_TESTS_PROCESS_H

#include <string>
#include <vector>

#include "harness.h"

struct raw_run {
    int status;      // as a POSIX shell shows it
    std::string out; // standard output
    std::string err; // standard error
    int signal;      // the signal that ended it, or 0
};

// Runs argv (program found as execvp would) in dir, as options say; gives up
// on it past a bound longer than any test's own, with a failure.
raw_run spawn(const std::string& dir, const std::vector<std::string>& argv,
              const std::string& program, const run_options& options);

// A new empty directory under the system's temporary one; empty on failure.
std::string make_temp_dir(const std::string& prefix);

// The word as one shell word, whatever it holds.
std::string quoted(const std::string& word);

#endif
