// SPDX-License-Identifier: MIT
// The insertion run: open and measure the files, seal the head, copy the
// body, give the length, lay the head, close and report.
#include "insertion.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine.h"
#include "files.h"
#include "host.h"
#include "messages.h"
#include "talvor.h"

namespace {

// How writing the destination ended, and how many of its leading bytes a
// failure may leave: none of them old, and never a whole that looks done.
struct written {
    outcome result;
    std::int64_t kept;
};

engine start_engine(const files& f, std::int64_t old_length)
{
    return {f.source,   f.destination, f.chunk,      f.zeros,
            f.step,     f.to_device,   f.find_zeros, f.source_facts.sparse,
            old_length, !f.find_zeros, f.line,       0,
            0};
}

// Writes n bytes of IP.BIN over the start of the destination.
outcome lay_head(const files& f, std::size_t n)
{
    if (!seek_to(f.destination, 0) || write_out(f.destination, f.head, n) != n)
        return DESTINATION_UNWRITABLE;
    return DONE;
}

// For a destination that cannot seek (a pipe, a character device): the head
// goes out in the first block and the rest streams behind it.
progress stream_insertion(const files& f)
{
    engine e = start_engine(f, 0);
    progress p = copy_first_block(e, f.head, f.head_length, f.step);
    if (p.result != DONE || p.ended)
        return p;
    return copy_through(e, p.reached, INT64_MAX);
}

// Writes all of the source but its head, which reads as zeros until it is
// laid last: a run that ends anyhow before then, killed included, never
// leaves a destination that looks finished. The first block goes out whole
// in one write, zeros first, so that they cover old bytes before anything
// else is written; it is read like the rest, so that a source shorter than
// it said ends the destination there. It ends on a block boundary, where
// the kernel can share blocks.
progress write_body(const files& f, std::int64_t old_length)
{
    engine e = start_engine(f, old_length);
    std::int64_t length = f.source_facts.length;
    // A pipe, or a file of /proc that says it is empty, tells its length
    // only by running out.
    std::size_t first = length <= 0 ? f.step : INSERT_LENGTH;
    progress p = copy_first_block(e, nullptr, f.head_length, first);
    if (p.result != DONE || p.ended)
        return p;
    if (length <= 0)
        return copy_through(e, p.reached, INT64_MAX);
    return copy_rest(e, p.reached, length);
}

// Whether the head would read as zeros once laid, and so could not tell an
// unfinished destination from a finished one.
bool head_reads_as_zeros(const files& f)
{
    return std::all_of(f.head, f.head + f.head_length, [](unsigned char c) { return c == 0; });
}

// Writes the whole destination over old_length old bytes (-1: a stream that
// has none). A file is rewritten in place, given its length and then its
// head.
written write_destination(const files& f, std::int64_t old_length)
{
    if (old_length < 0) {
        progress p = stream_insertion(f);
        return {p.result, p.reached};
    }
    progress p = write_body(f, old_length);
    if (p.result != DONE)
        return {p.result, p.reached};
    // The body is whole from here on: a failure must not leave it looking done.
    keep_on_stop(0);
    if (!f.to_device) {
        std::int64_t now = current_length(f.destination);
        if (now < 0 || (now != p.reached && !set_length(f.destination, p.reached)))
            return {DESTINATION_UNWRITABLE, 0};
    }
    // A device's late write errors must show before the head makes it look done.
    if (f.to_device && !flush_to_device(f.destination))
        return {DESTINATION_UNWRITABLE, 0};
    auto n =
        static_cast<std::size_t>(std::min(static_cast<std::int64_t>(f.head_length), p.reached));
    return {lay_head(f, n), 0};
}

// Writes the destination. An old file whose head would read as zeros (an
// empty IP.BIN, or one of zeros) is emptied first, as no seal could mark it
// unfinished. An old file rewritten in place may run out of space while its
// old blocks are still held (copy-on-write file systems): it is then emptied
// and written once more, as a new file would have been.
written insert_head(const files& f)
{
    std::int64_t old_length = f.to_device ? OLD_BYTES_EVERYWHERE : f.destination_facts.length;
    // Started empty, a file only reaches its full length once written whole.
    if (!f.to_device && old_length > 0 && head_reads_as_zeros(f)) {
        if (!set_length(f.destination, 0))
            return {DESTINATION_UNWRITABLE, 0};
        old_length = 0;
    }
    written w = write_destination(f, old_length);
    bool again = w.result == DESTINATION_UNWRITABLE && ran_out_of_space() && !f.to_device &&
                 old_length > 0 && f.source_facts.length >= 0;
    if (!again)
        return w;
    keep_on_stop(0);
    if (!set_length(f.destination, 0) || !seek_to(f.destination, 0) || !seek_to(f.source, 0))
        return {w.result, 0};
    return write_destination(f, 0);
}

// Reports a failed write of the destination, once it is cut back.
[[noreturn]] void fail(const files& f, written w, const char* name, const char* source_path,
                       const char* destination_path)
{
    cut_back(f, w.kept);
    if (w.result == SOURCE_UNREADABLE)
        cannot_read(name, source_path);
    if (w.result == INSERT_UNREADABLE)
        cannot_read(name, INSERT_FILE_NAME);
    cannot_write(name, destination_path);
}

} // namespace

void run_insertion(const char* name, const char* source_path, const char* destination_path)
{
    progress_line line = {};
    start_progress(line, name, destination_path);
    watch_stops();
    files f = {};
    f.line = &line;
    open_inputs(f, name, source_path);
    open_destination(f, name, source_path, destination_path);
    guard_destination(f.destination, f.destination_facts.kind);
    unsigned char* buffer = take_memory(f, name);
    plan(f);
    f.head_length = std::fread(f.head, 1, INSERT_LENGTH, f.insert);
    written w = std::ferror(f.insert) ? written{INSERT_UNREADABLE, 0} : insert_head(f);
    if (w.result != DONE)
        fail(f, w, name, source_path, destination_path);
    close_files(f, name, destination_path);
    std::free(buffer);
    report_success(name);
}
