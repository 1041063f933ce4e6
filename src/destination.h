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

// What undoes a finished look: DEST's kind, the head's bytes laid, and
// the time a regular DEST is dated once emptied.
struct undoing {
    file_kind kind;
    std::size_t laid;
    file_time left;
};

// Closes the destination; false if that failed, with error the close's. A
// close can report a write that failed late (network file systems): it is
// then undone, so that it does not look finished.
bool close_destination(std::FILE* destination, const undoing& undo, int& error);

// Writes zeros over [from, to). Already failing: a write that fails too
// leaves nothing better to do.
void clear_tail(std::FILE* destination, std::int64_t from, std::int64_t to);

// Undoes a finished look: a file emptied and dated older than its inputs
// for make, a device's laid head zeroed and flushed, as its size cannot
// change. Already failing, as above.
void unfinish(std::FILE* destination, const undoing& undo);

#endif
