// SPDX-License-Identifier: MIT
// The run's files and its steps (each comment names the step's room); no step prints or exits.
#ifndef TALVOR_FILES_H
#define TALVOR_FILES_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "host.h"
#include "messages.h"
#include "progress.h"

// The files under the run's files that it takes turns on too (a loop device's file, an overlay
// file's layer file), open until the run ends; each file once, however often it was reached.
constexpr std::size_t MOST_TURNS = 4 * MOST_PLACES;
struct turns_under {
    host_file file[MOST_TURNS];
    std::size_t count;
};
struct turn_list {
    turn_request request[MOST_TURNS];
    std::size_t count;
};

// How the destination is written, which decides where its old bytes lie.
enum class writing {
    stream, // in order, with nothing old in it: a pipe, a terminal, a character device
    file,   // in place, old bytes before its old length, which can be cut off
    device, // in place, old bytes everywhere, none of which can be cut off
};

// The run's open files, what was measured of them, and its working memory.
struct files {
    std::FILE* insert;
    std::FILE* source;
    std::FILE* destination;               // what DEST is written through; null once closed
    host_file destination_turn = NO_FILE; // what holds DEST's turn, closed after it
    file_facts insert_facts;
    file_facts source_facts;
    file_facts destination_facts;
    file_facts report_facts; // standard output's, which DEST must not be
    file_facts error_facts;  // standard error's
    safe_streams safe;       // which of the two may be written
    void* memory;            // what the blocks below were taken from
    unsigned char* head;     // INSERT_LENGTH bytes: IP.BIN's leading bytes
    unsigned char* chunk;    // WORK_BUFFER_SIZE bytes: what the body goes through
    unsigned char* zeros;    // INSERT_LENGTH bytes of zeros: a sealed head, a cleared block
    std::size_t head_length; // how many of them IP.BIN gave
    std::size_t step;        // how much of chunk one read asks for
    writing to;              // how the destination is written
    bool find_zeros;         // the source hides its holes: find them in its bytes
    bool apart;              // DEST is known to share no byte with an input
    file_time left_time;     // what a failure dates DEST: its own time before the run
    bool made;               // this run made DEST, or emptied it at its open
    progress_line* line;     // what a long run shows on a terminal
    turns_under* under;      // the files under them that hold turns
};

// How many bytes of IP.BIN's head lie in the first reached bytes of DEST.
inline std::size_t head_within(const files& f, std::int64_t reached)
{
    return static_cast<std::size_t>(
        std::min(static_cast<std::int64_t>(f.head_length), std::max(reached, std::int64_t{0})));
}

// streams.cpp: both standard streams measured; one not told apart from the files goes unwritten.
void measure_streams(files& f);
// streams.cpp: each standard stream on file written no more; whether standard output is one.
bool mute_streams_on(files& f, const file_facts& file);
// streams.cpp: an input that standard output shares storage with, the report would spoil: refused.
ended compare_with_streams(files& f);
// streams.cpp: a file that would not open, or be held, may be a standard stream that a Windows
// shell holds for writing: told as that stream (is_report for standard output), else failure.
ended unopened(files& f, const char* path, ended failure, outcome is_report);

// opening.cpp: streams measured, IP.BIN and SOURCE opened and measured; refused if stdout is one.
ended open_inputs(files& f, const run_names& names);
// opening.cpp: DEST opened, refused as an input before any write, held with them, measured again.
ended open_destination(files& f, const run_names& names);

// writer.cpp: DEST written whole, its head laid last; reached is its length, or after a failure
// the leading bytes it may keep: none of them old, and never a whole that looks done.
ended write_destination(const files& f);

// apart.cpp: sets f.apart, or refuses DEST, unwritten, as an input it reads exactly as or cannot
// be read beside (REASON_NOT_TOLD_APART). A DEST made, or followed apart, is apart already.
ended prove_apart(files& f);

// closing.cpp: from here on a stop empties a regular DEST and dates it; once it is final, not.
void empty_dest_on_stop(const files& f);
void let_dest_be_on_stop();
// closing.cpp: after a failure, a regular DEST known apart and still open cut back to kept bytes
// and dated as it was; one this run made, dated older than its inputs.
void undo_failed(const files& f, std::int64_t kept);
// under_turns.cpp: the turns asked for, then one on each file under them as the file over it asks;
// a file reached twice gets one turn (alone if either asks). What under held is let go first.
turn_list with_files_under(const turn_request* named, std::size_t count, turns_under& under);
// under_turns.cpp: the files under closed, which ends their turns.
void end_files_under(turns_under& under);
// closing.cpp: the files closed in their order; a DEST whose flush or close fails is unfinished.
ended close_files(files& f, std::size_t laid);

#endif
