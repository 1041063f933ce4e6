// SPDX-License-Identifier: MIT
#ifndef TALVOR_RUN_H
#define TALVOR_RUN_H

// Writes destination as source with its head replaced by IP.BIN's first bytes,
// reports on standard output and ends the process with the outcome's status.
[[noreturn]] void run_insertion(const char* name, const char* source_path,
                                const char* destination_path);

#endif
