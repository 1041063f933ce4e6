// SPDX-License-Identifier: MIT
// Runs of the tool held at a point of the test's choosing, never watched for
// a while: a SOURCE that the test feeds through a FIFO, a turn that the test
// holds as a run of the tool would, and what /proc says a run waits in.
#ifndef TALVOR_TESTS_HELD_RUNS_H
#define TALVOR_TESTS_HELD_RUNS_H

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "harness.h"

// Each bounded wait; far above what the steps take on a busy machine.
constexpr int WAIT_LIMIT_MS = 15000;

// Waits until done() holds, for limit_ms at most; false past that.
bool wait_until(const std::function<bool()>& done, int limit_ms = WAIT_LIMIT_MS);

// A run in its own thread, watched through its pid.
struct background {
    std::thread thread;
    tool_run result = {};
    std::atomic<int> pid{0};
    std::atomic<bool> ended{false};
};

void start(background& b, const std::string& dir, const std::vector<std::string>& args,
           run_options options = {});
// Waits for the run to end, killing it past the bound with a failure.
void finish(background& b);

// Writes all of data into the FIFO, failing the test past the bound.
bool feed(int fifo, const std::string& data);

// The first child of a process, as the tool is of strace; 0 if none yet.
int first_child(int pid);

// Whether the process sits in a read of file, e.g. a FIFO it was fed
// through, everything before that read done.
bool blocked_reading(int pid, const std::string& file);

// How many runs wait for file's turn (blocked lock requests on it).
int waiting_for_turn(const std::string& file);

// Takes file's turn as a run of the tool does, exclusive or shared; the
// descriptor that holds it (closing it ends the turn), or -1 when another
// holds it.
int take_turn(const std::string& file, bool exclusive);

#endif
