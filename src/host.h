// SPDX-License-Identifier: MIT
// What the core needs from a host (posix/, windows/): plain calls that each do one thing;
// which to make, and in what order, is the core's. A host calls back only through the line's tick.
#ifndef TALVOR_HOST_H
#define TALVOR_HOST_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "storage.h"
#include "talvor.h"
#include "terminal.h"

enum class standard_stream { output, error };

// Writes UTF-8 text as it is (as itself on a console), standard error's after standard output's.
void write_standard(standard_stream to, const std::string& text);

// errno, or Windows's own code: read at once, before another call can change it.
int last_error();

// The tool's own reasons, below zero so that no system's code is one (hosts phrase theirs).
constexpr int NO_REASON = 0;
constexpr int REASON_DEVICE_BUSY = -1; // over the same storage as a device in use
constexpr int REASON_DIRECTORY = -3;   // an input that opened as a directory
constexpr int REASON_NO_DEVICE = -4;   // a new DEST among the devices: one unplugged, or misspelt
constexpr int REASON_DEVICE_TOO_SMALL = -5; // a block device DEST shorter than SOURCE
constexpr int REASON_ERROR_OUTPUT = -6;     // an input that a shell holds as standard error
constexpr int REASON_SAME_STORAGE = -7;     // DEST's storage holds an input's bytes, or the reverse
constexpr int REASON_NOT_TOLD_APART = -8;   // DEST reads as an input, on storage not followed
constexpr int REASON_DISK_OR_VOLUME = -101; // a whole disk or volume as DEST, not yet written

// How a step or a host's call ended: its outcome, the failed call's error (or a REASON_), and
// how many leading bytes of DEST it reached, all this run's: those a failure may leave.
struct ended {
    outcome result;
    int error = NO_REASON;
    std::int64_t reached = 0;
};

// The tool's own phrase for the usual errors, the system's text for the rest.
std::string reason_text(int error);

// For a name not found: whether a path names anything, the working directory ("" if unknown),
// and a file there named so but for case ("" if none). Names are cut at DIRECTORY_ENDS.
bool not_found(int error);
bool path_found(const char* path);
std::string working_directory();
std::string name_by_other_case(const char* name);
// After two of them a name is a share (\\server\share, above which no walk goes) or a device.
#if defined(_WIN32)
constexpr const char* DIRECTORY_ENDS = "/\\";
constexpr bool ROOTS_AFTER_TWO_ENDS = true;
#else
constexpr const char* DIRECTORY_ENDS = "/";
constexpr bool ROOTS_AFTER_TWO_ENDS = false;
#endif

// Milliseconds on a clock that never goes back.
std::int64_t clock_ms();
void sleep_ms(std::int64_t ms);

#if defined(_WIN32)
// wmain's argument in UTF-8; a lone surrogate (NTFS allows it) kept as in WTF-8, to open that file.
std::string utf8_argument(const wchar_t* argument);
#endif

// A file as the host holds it open: a descriptor, or a Windows HANDLE.
using host_file = std::intptr_t;
constexpr host_file NO_FILE = -1;
host_file file_of(std::FILE* stream);

// Opens an existing file as "rb" does, but unbuffered, so that the stream's position is its
// file's. Others may still write it until keep_writers_off.
std::FILE* open_input(const char* path, int& error);

// Measures an open file as read, or as written (on an overlay only its upper layer).
file_facts measure_file(host_file file, bool written);

// What a standard stream writes to: never compared when closed or a character device (which
// keeps no bytes to spoil); unmeasured when the host cannot tell. Where the host can, a closed one
// is held open on nothing, so that no file of the run takes its place and the texts meant for it.
file_facts measure_standard(standard_stream which);

// What a name leads to, measured as it would be written but opened neither to read nor write: is
// DEST an input, is a name that would not open a standard stream? file opens DEST (Linux: O_PATH)
// or is NO_FILE; a name that leads nowhere is looked at through the directory it would be in.
struct looked {
    host_file file;
    file_facts facts;
    bool lower_layer_only; // an overlayfs file found only in a lower layer
    bool absent;           // the look is at the directory of a file not there yet
};
looked look_at(const char* path);

// DEST opened from the look if any, so that no name swapped in since is; never waiting: made if
// absent and never cut (in_place), emptied at its open, or for reading only. A file that holds
// bytes opens for reading too where it lets itself, to be told apart by reading; Windows opens
// one on disk for reading only, so that a run waiting for its turn holds no writer on a file
// another run reads. A new DEST among the devices is a file in memory: REASON_NO_DEVICE.
enum class output_open { in_place, emptied, reader };
struct opened {
    host_file file; // or NO_FILE, with error why
    int error;
    bool made; // this open created the file, or emptied it: its old date is gone
};
opened open_output(const char* path, const looked& look, output_open how);

// The stream DEST is written through, once held: a block device claimed for this run alone (as by
// mkfs), refused in use (mounted, held, under one in use), as is a file on one: REASON_DEVICE_BUSY.
std::FILE* open_writer(host_file file, const file_facts& facts, int& error);

// Holds other programs off writing an input from now on, where share modes can (Windows);
// false, with error why, when one has it open for writing.
bool keep_writers_off(std::FILE* input, int& error);

void close_file(host_file file);

// Whether two open files are one, asked of the system: Wine gives each drive letter its own serial.
bool same_file(host_file a, host_file b);

// Runs of the tool hold the files they read (shared) and write (alone), and wait there for each
// other; other programs are not held off.
enum class turn { held, busy, failed };
struct turn_request {
    host_file file;
    bool exclusive;
};
// Takes a turn without waiting; on a file system that keeps no locks it counts as held.
turn try_turn(const turn_request& request);
turn wait_for_turn(const turn_request& request);
void end_turn(const turn_request& request);
bool turn_taken(host_file file);

// The regular files under an open file that hold its bytes (a loop device's file, an overlay
// file's layer file, and on down), opened anew from their checked identity, to write where file
// is written, else to read. One that will not open is left out.
struct files_under {
    host_file file[MOST_PLACES];
    std::size_t count;
};
files_under open_files_under(host_file file, bool written);

// Reads n bytes at offset of an input as they are now on its storage, past
// any cache the input keeps of its own; reached is how many it gave, fewer
// at its end. A failed read ends as unreadable.
ended read_back(std::FILE* input, std::int64_t offset, void* bytes, std::size_t n,
                outcome unreadable);

// The stretch of data that starts at or after an offset: [start, end), with
// start == end == length when only holes are left.
struct data_stretch {
    std::int64_t start;
    std::int64_t end;
    bool ends; // the source ends at start: it was cut short since it was measured
};

// Finds the next stretch of data in a sparse source at or after offset;
// SOURCE_UNREADABLE when the file system would not say. Hosts that cannot
// tell holes give [offset, length).
ended next_data(std::FILE* source, std::int64_t offset, std::int64_t length, data_stretch& found);

// Makes [offset, end) of the destination share the source's blocks at the
// same place, without copying; false where the file system cannot.
bool share_blocks(std::FILE* source, std::FILE* destination, std::int64_t offset, std::int64_t end);

// Pushes what was written to stream down to its device; false if that failed.
bool flush_to_device(std::FILE* stream);

// Starts writing [from, to) of a block device out to it, without waiting.
void start_push(std::FILE* device, std::int64_t from, std::int64_t to);

// Waits until [from, to) of a block device is on it, or all that was written
// where the host cannot name a range; false if a write failed.
bool push_to_device(std::FILE* device, std::int64_t from, std::int64_t to);

// Asks for a pipe that holds wanted bytes; gives what it holds then, or 0
// for anything but a pipe and on hosts that cannot tell. Only the size of a
// read depends on it, so a failed call here is no failure of the run.
std::size_t widen_pipe(std::FILE* stream, std::size_t wanted);

// Lets the kernel copy count bytes from offset to the same offset, sharing
// blocks where the file system can; reached is how many it copied. Fewer
// bytes than count ask the caller to copy the rest itself. Stream positions
// are kept.
ended kernel_copy(std::FILE* source, std::FILE* destination, std::int64_t offset,
                  std::int64_t count);

// Makes [offset, end) read as zeros without writing them; false where the
// host or the file system cannot.
bool punch_hole(std::FILE* destination, std::int64_t offset, std::int64_t end);

// Cuts or extends a regular file to length bytes.
bool set_length(std::FILE* stream, std::int64_t length);

// The length a regular file has now; -1 if that cannot be told.
std::int64_t current_length(std::FILE* stream);

// True when error says a write found no room (disk full, quota).
bool ran_out_of_space(int error);

// Sets the stream's position with a 64-bit offset on every host.
bool seek_to(std::FILE* stream, std::int64_t offset);

// Every write to the destination goes through here, so that a stop handled
// on another thread (Windows) never sees one half done; as fwrite.
std::size_t write_out(std::FILE* destination, const void* bytes, std::size_t count);

// From here on a stop (Ctrl-C, kill, a closed terminal or console) erases the progress line and
// ends the process as that stop asks; stops ignored at start stay ignored, and a file size limit
// becomes a failed write. Nothing is cut yet: while the run waits for another, DEST is that run's.
void watch_stops();

// When a file was last written, as build tools compare it, since 1970.
struct file_time {
    std::int64_t seconds;
    std::int64_t nanoseconds;
};
// A failed run's DEST that it made, or whose date could not be read, is dated older than any
// input, so that make and ninja build it again.
constexpr file_time OLDEST_TIME = {0, 0};
// OLDEST_TIME if unknown; date_file is false if it failed (or for NO_FILE).
file_time written_at(host_file file);
bool date_file(host_file file, file_time time);

// From here on a stop leaves DEST as a failure would: a regular one cut to stop_cuts_dest_to's
// length and dated left, a device's bytes on their way waited for; with null, DEST left be.
void guard_dest_on_stop(std::FILE* destination, file_kind kind, file_time left);
void stop_cuts_dest_to(std::int64_t length);

// Opens the stream's file a second time, for writing, unbuffered; null if it could not.
std::FILE* duplicate_stream(std::FILE* stream, int& error);

#endif
