// SPDX-License-Identifier: MIT
// What the tool says when a run ends: its report, or the one message of
// its failure, followed on standard error by the failure's reason. Each
// ends the process with its status. And the warnings for inputs that are
// surely mistaken, which change nothing of the run.
#ifndef TALVOR_MESSAGES_H
#define TALVOR_MESSAGES_H

#include <cstdint>

// error, in each: the system's error of the call that failed, a REASON_ of
// the tool's, or NO_REASON for a failure that no reason line explains.
[[noreturn]] void cannot_open(const char* name, const char* path, int status, int error);
[[noreturn]] void same_file_refused(const char* name, const char* destination_path,
                                    const char* input_path);
[[noreturn]] void same_as_report(const char* name, const char* path, int status);
[[noreturn]] void cannot_read(const char* name, const char* path, int error);
[[noreturn]] void cannot_write(const char* name, const char* path, int error);
// A block device DEST ran out before SOURCE did.
[[noreturn]] void device_too_small(const char* name, const char* destination_path,
                                   const char* source_path);
[[noreturn]] void no_buffer(const char* name);
[[noreturn]] void report_success(const char* name);

void warn_empty_insert(const char* name);
void warn_long_insert(const char* name, std::int64_t length);
void warn_short_source(const char* name, const char* source_path, std::int64_t inserted);

#endif
