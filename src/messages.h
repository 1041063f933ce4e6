// SPDX-License-Identifier: MIT
// What the tool says when a run ends: its report, or the one message of
// its failure, followed on standard error by the failure's reason. And the
// warnings for inputs that are surely mistaken, which change nothing of the
// run.
#ifndef TALVOR_MESSAGES_H
#define TALVOR_MESSAGES_H

#include <cstdint>

#include "talvor.h"

// Whom the messages name: the tool as it was started, and the two paths.
struct run_names {
    const char* invocation;
    const char* source;
    const char* destination;
};

// Prints what ends a run that came to result: the report, or the failure's
// message on standard output and its reason on standard error. error is the
// system's error of the call that failed, a REASON_ of the tool's, or
// NO_REASON for a failure that no reason line explains. Gives the status
// that the process ends with.
int tell_outcome(const run_names& names, outcome result, int error);

void warn_empty_insert(const char* name);
void warn_long_insert(const char* name, std::int64_t length);
void warn_short_source(const char* name, const char* source_path, std::int64_t inserted);

#endif
