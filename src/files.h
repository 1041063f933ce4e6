// SPDX-License-Identifier: MIT
// The run's files: opened in their order, measured once, closed in their
// order, and cut back when the run fails. Each step says how it ended; none
// prints or ends the process.
#ifndef TALVOR_FILES_H
#define TALVOR_FILES_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "engine.h"
#include "host.h"
#include "messages.h"
#include "progress.h"

// The run's open files, what was measured of them, and its working memory.
struct files {
    std::FILE* insert;
    std::FILE* source;
    std::FILE* destination; // null once closed
    file_facts insert_facts;
    file_facts source_facts;
    file_facts destination_facts;
    file_facts report_facts; // standard output's, which DEST must not be
    void* memory;            // what the blocks below were taken from
    unsigned char* head;     // INSERT_LENGTH bytes: IP.BIN's leading bytes
    unsigned char* chunk;    // WORK_BUFFER_SIZE bytes: what the body goes through
    unsigned char* zeros;    // INSERT_LENGTH bytes of zeros: a sealed head, a cleared block
    unsigned char* original; // INSERT_LENGTH bytes: the source's own head
    std::size_t head_length; // how many of them IP.BIN gave
    std::size_t step;        // how much of chunk one read asks for
    writing to;              // how the destination is written
    bool find_zeros;         // the source hides its holes: find them in its bytes
    bool apart;              // DEST is known to share no byte with an input
    progress_line* line;     // what a long run shows on a terminal
};

// How a step ended, with the system's error of the call that failed, taken
// at once (or a REASON_ of the tool's).
struct ended {
    outcome result;
    int error;
};

// Opens IP.BIN and the source, in that order, and measures them; refuses
// them when standard output writes into one.
ended open_inputs(files& f, const run_names& names);

// Opens the destination, refusing one that is an input before anything is
// written to it, and measures it; the inputs are measured again once this
// run holds them.
ended open_destination(files& f, const run_names& names);

// Settles what the copy depends on, from what was measured before its first byte.
void plan(files& f);

// Takes one block for IP.BIN's head, the source's, the body's buffer and a
// block of zeros.
ended take_memory(files& f);

// What a failure leaves of a DEST that may be an input after all: all of it.
constexpr std::int64_t LEAVE_AS_IS = -1;

// Cuts a regular destination back to what this run wrote before it failed.
void cut_back(const files& f, std::int64_t kept);

// Closes the files in their order; only the destination's close can fail.
// A device whose last flush or close fails gets its laid head zeroed.
ended close_files(files& f, std::size_t laid);

#endif
