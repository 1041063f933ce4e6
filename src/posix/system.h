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

// What a block device is over: the stretch of its whole disk that it takes
// (disk 0 where the system has none to tell), and the file that a loop
// device shows ({0, 0} for none); told is false when the system would not say.
struct device_place {
    bool told;
    file_id backing;
    disk_stretch stretch;
};
device_place place_of_device(int fd, const struct stat& info);

// The file that holds a regular file's bytes under another identity: for an
// overlayfs file, the one in the topmost layer that has it; {0, 0} for none,
// or where the system does not show it. told is false when a probe failed.
struct shown_file {
    bool told;
    file_id id;
};
shown_file holder_of_file(int fd);

// Whether the overlayfs file that fd holds is in its upper layer already;
// false where the system does not show it (Linux only).
bool in_upper_layer(int fd);

// The index of the input that is the same file as file, shows it, is shown
// by it, or shares bytes of a disk with it; or count. Inputs that have no
// identity never match.
std::size_t input_index(const file_facts& file, const file_facts* inputs, std::size_t count);

// How an open destination is held for this run alone.
enum class hold { held, unheld, failed };

// Waits until no other run holds fd, then holds it until it is closed;
// unheld where the file system keeps no locks. The line says it waits.
hold hold_for_run(int fd, progress_line& line);

// What a look at the destination, before it is opened for writing, decided.
struct early_open {
    open_verdict verdict; // opened: go on with fd, or with an open by name when fd is -1
    int fd;
    std::size_t input; // for same_as_input
    bool held;         // fd's file is already held for this run
};

// Opens an existing destination for writing only once it is known not to be
// an input, where the system can look at a file without opening it for
// writing.
early_open open_after_look(const char* path, const file_facts* inputs, std::size_t count,
                           progress_line& line);

#endif
