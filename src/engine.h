// SPDX-License-Identifier: MIT
// The body's copy engine: stretches of data, the kernel copy, the buffer,
// hidden holes and the clearing of old bytes. Each step says how far it got.
#ifndef TALVOR_ENGINE_H
#define TALVOR_ENGINE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "host.h"
#include "talvor.h"

// What the body is copied through when the kernel cannot copy it: 1 MiB, on a
// page, is as fast as 128 to 512 KiB or faster on every path, and no slower
// than cp and dd (bench/buffer_sizes.sh); memory stays flat whatever the size.
constexpr std::size_t WORK_BUFFER_SIZE = std::size_t{1024} * 1024;
constexpr std::size_t MEMORY_PAGE = 4096;
static_assert(INSERT_LENGTH % MEMORY_PAGE == 0, "the body's buffer starts on a page too");
// The least read at once from a pipe or a device: what a pipe holds unless
// widened, so that each write follows its read instead of waiting for more.
constexpr std::size_t STREAM_READ_SIZE = std::size_t{64} * 1024;
// A piped source is widened to this, and read a quarter of it at a time, so
// that the writer at the other end keeps filling it meanwhile (see bench/).
constexpr std::size_t PIPE_SIZE = std::size_t{1024} * 1024;
// The least run of zeros left as a hole where a source's file system does not
// tell its holes: one block of most file systems, so the body starts on one.
constexpr std::size_t ZERO_BLOCK = 4096;
static_assert(INSERT_LENGTH % ZERO_BLOCK == 0, "the body starts on a block boundary");
static_assert(INSERT_LENGTH <= STREAM_READ_SIZE && STREAM_READ_SIZE <= WORK_BUFFER_SIZE,
              "the first block read must hold the whole head");

// The most the kernel is asked to copy at once, so that the line keeps
// moving: a few tenths of a second on a disk.
constexpr std::int64_t KERNEL_COPY_PIECE = std::int64_t{32} * 1024 * 1024;
// A block device gets each piece pushed once a window has been written after
// it: memory on its way to it stays bounded, and the line counts bytes on it.
// A piece is sized to about DEVICE_PIECE_MS of the device's writing, so that
// a stop waits for one piece, and the last close for about a second.
constexpr std::int64_t DEVICE_PUSH_PIECE = std::int64_t{8} * 1024 * 1024;
constexpr std::int64_t DEVICE_PUSH_WINDOW = std::int64_t{32} * 1024 * 1024;
constexpr std::int64_t DEVICE_PIECE_FLOOR = std::int64_t{256} * 1024;
constexpr std::int64_t DEVICE_PIECE_MS = 200;
constexpr std::int64_t DEVICE_WINDOW_PIECES = 2;

struct files;

// A copy of the run's files into DEST, and what it learns on the way.
struct engine {
    const files& f;
    std::int64_t old_length;  // of a file: old bytes may lie before this; a device's size
    bool kernel_works;        // the kernel has not declined to copy yet
    std::int64_t started = 0; // a device was asked to write out the bytes before this,
    std::int64_t pushed = 0;  // and holds those before this
    std::int64_t piece = DEVICE_PIECE_FLOOR; // a device's, sized to its pace by the last push
    bool source_ran_out = false;             // before the end a copy asked for
};

// Each copy says how it ended and how far it got: every byte of the
// destination before reached is this run's.

// Reads up to want bytes of the source (at most f.step) and writes them at
// the destination's start in one write, its first f.head_length bytes
// replaced by head's: IP.BIN's, or zeros that seal it.
ended copy_first_block(engine& e, const unsigned char* head, std::size_t want);

// Writes zeros over [from, to) of the destination; false if a seek or a
// write failed, its error left for the caller to take at once.
bool clear_tail(std::FILE* destination, std::int64_t from, std::int64_t to);

// Copies [from, end) of the source to the same place through the buffer,
// with both streams already at from; end may lie past the source's end.
ended copy_through(engine& e, std::int64_t from, std::int64_t end);

// Copies a seekable source from `from` on, stretch by stretch of data,
// clearing the old bytes under its holes, up to length and never past it.
ended copy_rest(engine& e, std::int64_t from, std::int64_t length);

#endif
