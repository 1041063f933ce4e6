// SPDX-License-Identifier: MIT
// The progress line of a long run on a terminal. The copy only stores counts;
// a host's thread, started on a terminal alone, draws the line on standard
// error, so that it moves while the copy blocks (a read, a write, a push).
#ifndef TALVOR_PROGRESS_H
#define TALVOR_PROGRESS_H

#include <atomic>
#include <cstddef>
#include <cstdint>

// A run that has gone on this long shows a progress line on a terminal, so
// that the common runs of a few hundred milliseconds stay silent...
constexpr std::int64_t PROGRESS_DELAY_MS = 1000;
// ...drawn again this often, moving or not, so that a stall shows as one.
constexpr std::int64_t PROGRESS_INTERVAL_MS = 500;
// The rate is taken over about this span: steady, yet quick to fall to nothing.
constexpr std::int64_t RATE_SPAN_MS = 3000;
// Nothing done for this long is a stall, and the line says for how long.
constexpr std::int64_t STALL_AFTER_MS = 2000;

// The bytes done by a moment, in milliseconds of running.
struct progress_mark {
    std::int64_t ms;
    std::int64_t bytes;
};

// Enough marks, RATE_MARK_MS apart, to reach RATE_SPAN_MS back.
constexpr std::size_t RATE_MARKS = 16;
constexpr std::int64_t RATE_MARK_MS = 250;

// What the line's thread keeps between two ticks, and it alone.
struct progress_clock {
    std::int64_t drawn_ms; // last drawn at; nothing before PROGRESS_DELAY_MS
    bool told_waiting;     // the waiting line says all there is to say once
    bool told_stop;        // a stop heard is told at once, then when due
    progress_mark moved;   // when done last changed, to what: a stall shows from then
    progress_mark marks[RATE_MARKS];
    std::size_t next_mark;
    std::size_t mark_count;
};

struct progress_line {
    const char* name;                // the tool's own name: the invocation name's last element
    const char* destination;         // what the line says the run waits for
    const char* destination_name;    // its last element, which the line names
    bool on_terminal;                // nothing is drawn anywhere else
    std::atomic<std::int64_t> total; // bytes in all; -1 when only the source's end will tell
    std::atomic<std::int64_t> done;  // on DEST: on a device, those known to be on it
    std::atomic<std::int64_t> sent;  // written to DEST, some perhaps on their way to it
    std::atomic<bool> waiting;       // for another run to be done with DEST
    progress_clock clock;
};

// What the line tells.
struct progress_view {
    std::int64_t done;                 // bytes
    std::int64_t total;                // -1: unknown
    double rate;                       // bytes a second; negative: unknown
    std::int64_t on_way;               // written, not yet on the device
    std::int64_t still_ms;             // nothing done for this long
    const char* destination = nullptr; // the name written to, or null
    bool stopping = false;             // a stop was heard, which waits for on_way
};

// Sets the line up and, on a terminal, starts the thread that draws it.
void start_progress(progress_line& line, const char* invocation, const char* destination);

// The bytes done so far, and those written; the line shows them when due.
// Off a terminal the copy pays for nothing, not even the clock.
void count_bytes(progress_line& line, std::int64_t done, std::int64_t sent);

// The run waits for another one to be done with DEST: told until bytes are counted.
void count_waiting(progress_line& line);

// The name that starts the line: the last element of the invocation name;
// and of DEST's path, the name that follows it.
const char* tool_name(const char* invocation);

// Writes the line into text, in ASCII French with binary units, in at most
// columns bytes where it can: the least useful fields are left out first, so
// that the share done stays longest. After a stop, it says what the run waits for.
void describe_progress(char* text, std::size_t size, const char* name, progress_view view,
                       std::size_t columns);

// Writes into line what the host draws: a carriage return, text cut to
// columns on a character's first byte, and spaces over the rest, so that
// whatever was on the row (another run's line too) is covered; gives its length.
std::size_t fit_line(char* line, std::size_t size, const char* text, std::size_t columns);

#endif
