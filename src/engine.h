// SPDX-License-Identifier: MIT
// The body's copy engine: stretches of data, the kernel copy, the buffer,
// hidden holes and the clearing of old bytes. Each step says how far it got.
#ifndef TALVOR_ENGINE_H
#define TALVOR_ENGINE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "progress.h"
#include "talvor.h"

// The old length of a destination whose old bytes lie everywhere and cannot
// be cut off: a block device.
constexpr std::int64_t OLD_BYTES_EVERYWHERE = INT64_MAX;

// The copy's files and memory, and what it learns on the way.
struct engine {
    std::FILE* source;
    std::FILE* destination;
    unsigned char* chunk;    // WORK_BUFFER_SIZE bytes: what the body goes through
    unsigned char* zeros;    // ZERO_BLOCK bytes of zeros
    unsigned char* original; // INSERT_LENGTH bytes: the source's head, kept by the first block
    std::size_t step;        // how much of chunk one read asks for
    bool to_device;          // the destination is a block device
    bool find_zeros;         // the source hides its holes: find them in its bytes
    bool walk_holes;         // the source has holes that its file system tells
    std::int64_t old_length; // old bytes of the destination may lie before this
    bool kernel_works;       // the kernel has not declined to copy yet
    progress_line* line;     // shows the bytes done: on a device, those on it
    std::int64_t started;    // a device was asked to write out the bytes before this,
    std::int64_t pushed;     // and holds those before this
    // A device's pieces, sized to its pace by the last push.
    std::int64_t piece = DEVICE_PIECE_FLOOR;
    int error = 0; // the system's error of the call that failed, taken at once
};

// How a step ended and how far it got: every byte of the destination before
// reached is this run's.
struct progress {
    outcome result;
    std::int64_t reached;
    bool ended;    // the source ran out before the end asked for
    int error = 0; // for a failure: the system's error of the call that failed
};

// Reads up to want bytes of the source (at most e.step) and writes them at
// the destination's start in one write, with its first bytes replaced: by
// head[0, n), or by zeros when head is null; the source's own first bytes
// are kept in e.original.
progress copy_first_block(engine& e, const unsigned char* head, std::size_t n, std::size_t want);

// Copies [from, end) of the source to the same place through the buffer,
// with both streams already at from; end may lie past the source's end.
progress copy_through(engine& e, std::int64_t from, std::int64_t end);

// Copies [from, end) of a seekable source to the same place: the kernel
// first while it is willing, then the buffer.
progress copy_range(engine& e, std::int64_t from, std::int64_t end);

// Copies a seekable source from `from` on, stretch by stretch of data,
// clearing the old bytes under its holes, then whatever lies past the length
// it had when measured (files of /proc say 0).
progress copy_rest(engine& e, std::int64_t from, std::int64_t length);

#endif
