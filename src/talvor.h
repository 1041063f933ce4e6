// SPDX-License-Identifier: MIT
// Constants, texts, outcomes and exit statuses shared by the whole tool.
#ifndef TALVOR_H
#define TALVOR_H

#include <cstddef>
#include <cstdint>

// Looked for by this bare name, so always in the current directory.
constexpr const char* INSERT_FILE_NAME = "IP.BIN";
// Most leading bytes that the insert file may replace.
constexpr std::size_t INSERT_LENGTH = 32768;

// What the body is copied through when the kernel cannot copy it. On a page
// (MEMORY_PAGE), 1 MiB is as fast as 128 to 512 KiB or faster on every path
// through it, a device or a pipe as source, hidden holes, a device as
// destination, a kernel that declines, and takes at most the time of cp and
// dd on each (bench/buffer_sizes.sh); memory stays flat whatever the size.
constexpr std::size_t WORK_BUFFER_SIZE = std::size_t{1024} * 1024;
// The buffer starts on a page of memory, whose size divides the head's.
constexpr std::size_t MEMORY_PAGE = 4096;
static_assert(INSERT_LENGTH % MEMORY_PAGE == 0, "the body's buffer starts on a page too");
// How much is read at once from a pipe or a device, at the least: what a
// pipe holds unless it is widened, so that each write follows its read
// instead of waiting for a larger buffer to fill.
constexpr std::size_t STREAM_READ_SIZE = std::size_t{64} * 1024;
// A piped source is widened to this, and read a quarter of it at a time, so
// that the writer at the other end keeps filling it meanwhile (see bench/).
constexpr std::size_t PIPE_SIZE = std::size_t{1024} * 1024;
// The smallest run of zeros left as a hole when a source's file system does
// not say where its holes are: one block of most file systems. Divides the
// first block, so that the body starts on a boundary.
constexpr std::size_t ZERO_BLOCK = 4096;
static_assert(INSERT_LENGTH % ZERO_BLOCK == 0, "the body starts on a block boundary");
static_assert(INSERT_LENGTH <= STREAM_READ_SIZE && STREAM_READ_SIZE <= WORK_BUFFER_SIZE,
              "the first block read must hold the whole head");

// A run that has gone on this long shows a progress line on a terminal, so
// that the common runs of a few hundred milliseconds stay silent...
constexpr std::int64_t PROGRESS_DELAY_MS = 1000;
// ...drawn again this often, whether the copy moves or not, so that a stall
// shows as one.
constexpr std::int64_t PROGRESS_INTERVAL_MS = 500;
// How often the line's own thread wakes: the granularity of the delays above
// and of the time a stop (Ctrl-Z) is left out of the rate.
constexpr std::int64_t PROGRESS_TICK_MS = 100;
// How often a run on a terminal tries again for a destination that another
// run holds, telling that it waits meanwhile.
constexpr unsigned LOCK_RETRY_US = 100000;
constexpr unsigned long LOCK_RETRY_MS = LOCK_RETRY_US / 1000;
// The rate is taken over about this span: steady, yet quick to fall when
// nothing moves.
constexpr std::int64_t RATE_SPAN_MS = 3000;
// Nothing done for this long is a stall, and the line says for how long.
constexpr std::int64_t STALL_AFTER_MS = 2000;
// Room for the line, invocation name included; a longer one is cut.
constexpr std::size_t PROGRESS_LINE_SIZE = 256;
// The most the kernel is asked to copy at once, so that the line keeps
// moving: a few tenths of a second on a disk.
constexpr std::int64_t KERNEL_COPY_PIECE = std::int64_t{32} * 1024 * 1024;
// A block device is written behind the copy: a piece is pushed to it once a
// window has been written after it, so that the memory that holds bytes on
// their way to it stays within the window and two pieces, and the line
// counts bytes that are on the device. A piece takes about DEVICE_PIECE_MS
// of the device's writing, as its last push took, between the floor and the
// most; the window is DEVICE_WINDOW_PIECES of them, at most the most: a stop
// then waits for a piece and the process's last close writes out a window
// and a piece, about a second on any device.
constexpr std::int64_t DEVICE_PUSH_PIECE = std::int64_t{8} * 1024 * 1024;
constexpr std::int64_t DEVICE_PUSH_WINDOW = std::int64_t{32} * 1024 * 1024;
constexpr std::int64_t DEVICE_PIECE_FLOOR = std::int64_t{256} * 1024;
constexpr std::int64_t DEVICE_PIECE_MS = 200;
constexpr std::int64_t DEVICE_WINDOW_PIECES = 2;

// Width of the rules that frame the usage screen, line end excluded.
constexpr int RULE_WIDTH = 77;

constexpr const char* AUTHOR_CREDIT = "par l'equipe talvor";
constexpr const char* CREDIT_LINE = "Programme ecrit par l'equipe talvor.";
// Ends both screens: bare on the usage screen, with seven '!' in the report.
constexpr const char* SIGN_OFF = "Bon travail et a bientot";

// How a step of the run ended, and so which message names which file.
enum outcome {
    DONE,
    SOURCE_UNREADABLE,
    INSERT_UNREADABLE,
    DESTINATION_UNWRITABLE,
    DESTINATION_IS_SOURCE, // found by its effect: DEST's first write showed in SOURCE
    DESTINATION_IS_INSERT, // ...or in IP.BIN
    INSERT_UNOPENED,
    SOURCE_UNOPENED,
    DESTINATION_UNOPENED,
    INSERT_IS_REPORT, // standard output writes into IP.BIN,
    SOURCE_IS_REPORT, // ...into SOURCE,
    DESTINATION_IS_REPORT, // ...or into DEST
    DEVICE_TOO_SMALL, // a block device DEST ran out before SOURCE did
    NO_MEMORY,
};

// Why a step failed where no system error says it: the tool's own reasons,
// below zero so that no system's code is ever one of them.
constexpr int NO_REASON = 0;
constexpr int REASON_DEVICE_BUSY = -1;      // over the same storage as a device in use
constexpr int REASON_DIRECTORY = -3;        // an input that opened as a directory

constexpr int STATUS_OK = 0;
constexpr int STATUS_USAGE = -1;
constexpr int STATUS_NO_INSERT_FILE = -2;
constexpr int STATUS_NO_SOURCE = -3;
constexpr int STATUS_NO_DESTINATION = -4;
constexpr int STATUS_NO_BUFFER = -5;
constexpr int STATUS_READ_FAILED = -6;
constexpr int STATUS_WRITE_FAILED = -7;

#endif
