// SPDX-License-Identifier: MIT
// DEST's open and close as every host has them: runs take turns on their
// files, and a close that fails leaves DEST plainly unfinished.
#ifndef TALVOR_DESTINATION_H
#define TALVOR_DESTINATION_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "host.h"
#include "progress.h"

// Opens DEST as open_output does. Turns are taken all or none: one that
// another run holds is waited for while holding no other, so that runs
// waiting on each other's files never wait forever; on a terminal the line
// says that the run waits.
output open_in_turn(const char* path, output_request request, progress_line& line);

// Closes the destination; false if that failed, with error the close's. A
// close can report a write that failed late (network file systems): a
// regular destination is then emptied, and a device's first laid bytes, its
// head, are zeroed, so that it does not look finished.
bool close_destination(std::FILE* destination, file_kind kind, std::size_t laid, int& error);

// Undoes a finished look: a file emptied, a device's laid head zeroed and
// flushed, as its size cannot change. Already failing, as above.
void unfinish(std::FILE* destination, file_kind kind, std::size_t laid);

#endif
