// SPDX-License-Identifier: MIT
// What a run's end says: the report, or one message then its reason; warnings that change nothing.
#ifndef TALVOR_MESSAGES_H
#define TALVOR_MESSAGES_H

#include <cstddef>
#include <cstdint>

#include "host.h"
#include "talvor.h"

// Which standard streams may be written: not one on an input or DEST, nor one not told apart.
struct safe_streams {
    bool output = true;
    bool error = true;
};

#if defined(__GNUC__)
#define TALVOR_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define TALVOR_PRINTF(f, a)
#endif

// A text meant for standard output, or error: on the other stream when its own is not safe.
void print_text(const safe_streams& safe, const char* format, ...) TALVOR_PRINTF(2, 3);
void print_error_text(const safe_streams& safe, const char* format, ...) TALVOR_PRINTF(2, 3);

// Whom the messages name: the tool as it was started, and the two paths.
struct run_names {
    const char* invocation;
    const char* source;
    const char* destination;
};

struct speaker {
    const run_names& names;
    safe_streams safe;
};

// Prints what ends a run that came to result, and error's reason line; gives the exit status.
int tell_outcome(const speaker& s, outcome result, int error);

// IP.BIN that inserts nothing (head bytes), or not all of its insert bytes, is surely a mistake,
// as is a SOURCE that ends before the head (reached bytes): warned of, the run succeeding still.
void warn_of_mistakes(const speaker& s, std::size_t head, std::int64_t insert,
                      std::int64_t reached);

#endif
