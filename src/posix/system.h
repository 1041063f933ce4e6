// SPDX-License-Identifier: MIT
// What the POSIX host files share among themselves, and what only some
// POSIX systems can do: linux.cpp does it with Linux's own calls, portable.cpp
// without, as any other POSIX system would.
#ifndef TALVOR_POSIX_SYSTEM_H
#define TALVOR_POSIX_SYSTEM_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>

#include "host.h"

file_id id_of(const struct stat& info);

// The index of the input that is the same file as id, or count.
std::size_t input_index(file_id id, const file_facts* inputs, std::size_t count);

// What a look at the destination, before it is opened for writing, decided.
struct early_open {
    open_verdict verdict; // opened: go on with fd, or with an open by name when fd is -1
    int fd;
    std::size_t input; // for same_as_input
};

// Opens an existing destination for writing only once it is known not to be
// an input, where the system can look at a file without opening it for
// writing.
early_open open_after_look(const char* path, const file_facts* inputs, std::size_t count);

#endif
