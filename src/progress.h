// SPDX-License-Identifier: MIT
// The progress line of a long run on a terminal: when it is due and what it
// says. The host draws it on standard error and erases it.
#ifndef TALVOR_PROGRESS_H
#define TALVOR_PROGRESS_H

#include <cstddef>
#include <cstdint>

// The bytes done by a moment, in milliseconds.
struct progress_mark {
    std::int64_t ms;
    std::int64_t bytes;
};

struct progress_line {
    const char* name;        // the invocation name, which starts the line as every message
    const char* destination; // what the line says the run waits for
    bool on_terminal;        // nothing is drawn anywhere else
    std::int64_t total;      // bytes in all; -1 when only the source's end will tell
    std::int64_t start_ms;   // nothing shows before PROGRESS_DELAY_MS from here
    std::int64_t drawn_ms;
    bool told_waiting;   // the waiting line says all there is to say once
    progress_mark older; // the rate is taken since this mark,
    progress_mark newer; // which moves up to this one every RATE_SPAN_MS
};

// What the line tells: bytes done, of total (-1: unknown), at rate bytes a
// second (negative: unknown).
struct progress_view {
    std::int64_t done;
    std::int64_t total;
    double rate;
};

progress_line start_progress(const char* name, const char* destination);

// The bytes done so far; the line shows them when it is due.
void count_bytes(progress_line& line, std::int64_t done);

// The run waits for another one to be done with the destination; the line
// says so when due.
void count_waiting(progress_line& line);

// Writes the line into text, in ASCII French with binary units.
void describe_progress(char* text, std::size_t size, const char* name, progress_view view);

// Writes into line what the host writes to draw text: a carriage return,
// text cut to columns on a character's first byte, and spaces over the rest
// of the covered columns that the line drawn before took; gives its length.
std::size_t fit_line(char* line, std::size_t size, const char* text, std::size_t columns,
                     std::size_t covered);

#endif
