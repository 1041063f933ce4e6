// SPDX-License-Identifier: MIT
// What a host gives the progress line: the terminal's row it is drawn on,
// and the thread that keeps its time (each host's terminal.cpp).
#ifndef TALVOR_TERMINAL_H
#define TALVOR_TERMINAL_H

#include <cstddef>
#include <cstdint>

// The line goes to standard error only when that is a terminal (a console on
// Windows); no failure to write it changes the run.
bool error_terminal();
// How often the line's timer wakes: the granularity of the line's delays
// and of the time a stop (Ctrl-Z) is left out of its rate.
constexpr std::int64_t LINE_TICK_MS = 100;
// Room for a line, name included; a longer one is cut.
constexpr std::size_t TERMINAL_LINE_SIZE = 256;
// Starts the thread that calls tick(context, ms) every LINE_TICK_MS or so
// until the line is closed, with the milliseconds run since this call, less
// on POSIX the time stopped (Ctrl-Z, SIGSTOP) until SIGCONT. Its signals are
// blocked, so that a stop's handler runs on another thread. False if none
// could start.
struct line_ticker {
    void (*tick)(void* context, std::int64_t ms);
    void* context;
};
bool start_line_timer(line_ticker ticker);
// One less than the terminal's width, so that the cursor never wraps to a
// row that a carriage return cannot reach back from.
std::size_t terminal_columns();
// Writes count bytes that cover the row, on POSIX only while the process is
// in the terminal's foreground, so that a background job never writes to it
// nor stops on SIGTTOU. Called by the line's thread.
void draw_terminal_line(const char* line, std::size_t count);
// Empties the row, whoever drew on it, if this run drew a line there, and
// draws none from then on; safe in a stop's handler, after a draw under way.
void close_terminal_line();
// Whether a stop has come that the run has not yet ended for: the kernel may
// hold it in a call that no signal cuts short (a device's write).
bool stop_heard();

#endif
