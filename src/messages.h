// SPDX-License-Identifier: MIT
// What the tool says when a run ends: its report, or the one message of
// its failure, followed on standard error by the failure's reason. And the
// warnings for inputs that are surely mistaken, which change nothing of the
// run.
#ifndef TALVOR_MESSAGES_H
#define TALVOR_MESSAGES_H

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

// Who speaks, and on which streams.
struct speaker {
    const run_names& names;
    safe_streams safe;
};

// Prints what ends a run that came to result: the report, or the failure's
// message on standard output and its reason on standard error. error is the
// system's error of the call that failed, a REASON_ of the tool's, or
// NO_REASON for a failure that no reason line explains. Gives the status
// that the process ends with.
int tell_outcome(const speaker& s, outcome result, int error);

void warn_empty_insert(const speaker& s);
void warn_long_insert(const speaker& s, std::int64_t length);
void warn_short_source(const speaker& s, std::int64_t inserted);

#endif
