// What the insertion needs from the host beyond standard streams. Each host
// has one file that implements it: host_posix.cpp, host_windows.cpp.
#ifndef TALVOR_HOST_H
#define TALVOR_HOST_H

#include <cstdint>
#include <cstdio>
#if defined(_WIN32)
#include <string>
#endif

#include "talvor.h"

#if defined(__GNUC__)
#define TALVOR_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define TALVOR_PRINTF(f, a)
#endif

// One formatted write on standard output. Text is UTF-8, and names in it
// show as themselves whether the output is a console, a file or a pipe.
void print_text(const char* format, ...) TALVOR_PRINTF(1, 2);

#if defined(_WIN32)
// An argument as Windows hands it to wmain, in the UTF-8 that the tool uses.
std::string utf8_argument(const wchar_t* argument);
#endif

// Opens an existing file for reading as mode "rb" does; path is UTF-8.
std::FILE* open_input(const char* path);

// Opens path for writing without translation, creating it if absent, unless
// it is already open as one of inputs[0..count): then nothing is opened for
// writing, *same is that input's index and the result is nullptr. Otherwise
// *same is count. An existing file keeps its bytes, except one that
// overlayfs has only in a lower layer, or cannot tell: it is emptied rather
// than copied up with them first.
std::FILE* open_output(const char* path, std::FILE* const* inputs, std::size_t count,
                       std::size_t* same);

// The length of a regular file, or -1 for anything else (pipe, device...).
std::int64_t regular_length(std::FILE* stream);

// The length of a block device, or -1 for anything else.
std::int64_t device_length(std::FILE* stream);

// True when a regular file has fewer blocks than bytes but its file system
// does not say where the holes are.
bool hides_holes(std::FILE* source);

// Makes [offset, end) of the destination share the source's blocks at the
// same place, without copying; false where the file system cannot.
bool share_blocks(std::FILE* source, std::FILE* destination, std::int64_t offset, std::int64_t end);

// Pushes what was written to stream down to its device; false if that failed.
bool flush_to_device(std::FILE* stream);

// The next stretch of data in source at or after offset, as [*start, *end),
// with *start == *end == length when only holes are left. Hosts that cannot
// tell holes, and files without any, give [offset, length).
void next_data(std::FILE* source, std::int64_t offset, std::int64_t length, std::int64_t* start,
               std::int64_t* end);

// Asks for a pipe that holds wanted bytes; gives what it holds then, or 0
// for anything but a pipe and on hosts that cannot tell.
std::size_t widen_pipe(std::FILE* stream, std::size_t wanted);

// Lets the kernel copy count bytes from offset to the same offset, sharing
// blocks where the file system can. *copied is how far it got; fewer than
// count asks the caller to copy the rest itself. Stream positions are kept.
outcome kernel_copy(std::FILE* source, std::FILE* destination, std::int64_t offset,
                    std::int64_t count, std::int64_t* copied);

// Makes [offset, end) read as zeros without writing them; false where the
// host or the file system cannot.
bool punch_hole(std::FILE* destination, std::int64_t offset, std::int64_t end);

// Cuts or extends a regular file to length bytes.
bool set_length(std::FILE* stream, std::int64_t length);

// True when the write that just failed found no room (disk full, quota).
bool ran_out_of_space();

// Sets the stream's position with a 64-bit offset on every host.
bool seek_to(std::FILE* stream, std::int64_t offset);

// Every write to the destination goes through here, so that a stop handled
// on another thread (Windows) never sees one half done; as fwrite.
std::size_t write_out(std::FILE* destination, const void* bytes, std::size_t count);

// From here on a stop (Ctrl-C, kill, a closed terminal or console) cuts a
// regular destination back to what keep_on_stop last allowed, then ends the
// process as that stop asks. Stops that were ignored when the process
// started stay ignored; a file size limit becomes a failed write.
void guard_destination(std::FILE* destination);

// How many leading bytes of the destination a stop may leave from now on.
void keep_on_stop(std::int64_t kept);

// The destination is finished, or about to be closed: a stop leaves it be.
void release_destination();

// Closes the destination; false if that failed. A close can report a write
// that failed late (network file systems): a regular destination is then
// emptied, so that it does not look finished.
bool close_output(std::FILE* destination);

#endif
