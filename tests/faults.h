// SPDX-License-Identifier: MIT
// Faults injected into the tool from outside by strace, counted on the calls
// on one file of the run (DEST, SOURCE, IP.BIN) rather than across the
// process, so that what else the tool looks at on this machine (devices,
// mounts) moves no point; and the proof that each fault took effect.
#ifndef TALVOR_TESTS_FAULTS_H
#define TALVOR_TESTS_FAULTS_H

#include <string>
#include <vector>

#include "harness.h"

// The words that start a run under strace as options ask: the calls on
// options.traced_files alone, logged to log, with options.fault injected.
std::vector<std::string> strace_words(const run_options& options, const std::string& log);

// Whether options.fault took effect in a run that ended as r: a signal
// ended it, or strace's log shows the call it changed.
bool fault_fired(const run_options& options, const tool_run& r, const std::string& log);

// One call that strace saw: its name and the line it logged.
struct traced_call {
    std::string name;
    std::string line;
};

// The calls of a log, in their order.
std::vector<traced_call> traced_calls(const std::string& log);

// The phrase that the tool's reason line gives for the error that a fault
// like "write:error=EIO:when=2" injects; "" for a fault of another kind.
std::string injected_reason(const std::string& fault);

#endif
