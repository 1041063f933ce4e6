// SPDX-License-Identifier: MIT
// Runs of the tool with standard error on a pseudo-terminal that the test
// reads as it goes, each step taken once what the run shows (or /proc says
// of it) calls for it, never at a set time; and the screen played back as a
// terminal shows it.
#ifndef TALVOR_TESTS_TERMINAL_RUNS_H
#define TALVOR_TESTS_TERMINAL_RUNS_H

#include <functional>
#include <string>
#include <vector>

#include "harness.h"

// A line the terminal received, and when: seconds since the run started,
// for what a failure shows and for measurements, never for a verdict.
struct timed_line {
    double at;
    std::string text;
};

// The run so far, as a step sees it.
struct run_view {
    int pid; // the process started on the terminal
    const std::vector<timed_line>& lines;
    const std::string& drawn; // the row as it stands: the last draw, not yet drawn over
    double now;
};

// Something done once when() holds: a step waits for the ones before it.
struct drive_step {
    std::function<bool(const run_view&)> when;
    std::function<void(const run_view&)> act;
};

struct driven_run {
    int status; // as a shell shows it; -1 when it had to be killed
    std::vector<timed_line> lines;
    std::string screen; // all the terminal received
    std::string out;    // standard output, a file
    double ended;
};

// Runs argv in dir on a pseudo-terminal of columns (the word "{terminal}"
// in argv stands for its name), in the cgroup whose cgroup.procs is procs
// unless that is empty, taking each step in its turn; a run that goes on
// too long is given up, let go as give_up does first (a stall lifted).
driven_run drive_on_terminal(const std::string& dir, std::vector<std::string> argv,
                             unsigned short columns, const std::string& procs,
                             const std::vector<drive_step>& steps,
                             const std::function<void()>& give_up = {});

// Where a driven run's standard output goes, beside dir: a file, so that
// dir holds only what the run left.
std::string driven_output(const std::string& dir);

// What a driven run showed, for a failure to tell.
std::string lines_shown(const std::vector<timed_line>& lines);

// The lines a terminal showed one after the other, and what it shows at the
// end: carriage returns, erasures to the end of the line and a console's
// cursor sequences are played as a terminal would.
struct played {
    std::vector<std::string> drawn;
    std::string last;
};

played play(const std::string& screen);

// The last element of an invocation name, as the progress line starts with.
std::string own_name(const std::string& invocation);

// Draws that start with the tool's own name, as progress lines do, that name left out.
std::vector<std::string> lines_of(const played& screen, const std::string& invocation);

#endif
