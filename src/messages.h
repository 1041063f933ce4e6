// SPDX-License-Identifier: MIT
// What the tool says when a run ends: its report, or the one message of
// its failure. Each ends the process with its status.
#ifndef TALVOR_MESSAGES_H
#define TALVOR_MESSAGES_H

[[noreturn]] void cannot_open(const char* name, const char* path, int status);
[[noreturn]] void same_file_refused(const char* name, const char* destination_path,
                                    const char* input_path);
[[noreturn]] void same_as_report(const char* name, const char* path, int status);
[[noreturn]] void cannot_read(const char* name, const char* path);
[[noreturn]] void cannot_write(const char* name, const char* path);
[[noreturn]] void no_buffer(const char* name);
[[noreturn]] void report_success(const char* name);

#endif
