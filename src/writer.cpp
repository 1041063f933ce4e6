// SPDX-License-Identifier: MIT
// DEST written, once known apart from the inputs: a stream gets the head first
// and the rest behind it; a file or a device gets the body with zeros where the
// head goes, its length or its flush, and the head last, so that a run that ends
// anyhow before then, killed included, never leaves a DEST that looks finished.
#include <algorithm>
#include <cstdint>

#include "engine.h"
#include "files.h"

namespace {

// Writes the source from its start. Its first block is read like the rest (a
// source shorter than it said ends DEST there) and goes out whole in one
// write, head's bytes first, so that they cover old bytes before any other.
// A source that tells its length only by running out (a pipe, a /proc file
// that says it is empty) is read until then; any other never past its length,
// so that a DEST that shows the source at another offset cannot write for ever.
ended write_from_start(const files& f, const unsigned char* head, std::int64_t old_length)
{
    engine e = {f, old_length, !f.find_zeros};
    std::int64_t length = f.source_facts.length;
    bool in_place = f.to != writing::stream && length > 0;
    ended p = copy_first_block(e, head, in_place ? INSERT_LENGTH : f.step);
    if (p.result != DONE || e.source_ran_out)
        return p;
    if (in_place)
        return copy_rest(e, p.reached, length);
    return copy_through(e, p.reached, length > 0 ? length : INT64_MAX);
}

// Whether the laid head could read as zeros, and so not tell an unfinished DEST
// from a finished one. Of a source that tells its length only by running out,
// only the first byte is sure to be laid.
bool head_reads_as_zeros(const files& f)
{
    std::int64_t length = f.source_facts.length;
    std::size_t n = length <= 0 ? std::min<std::size_t>(f.head_length, 1) : head_within(f, length);
    return std::all_of(f.head, f.head + n, [](unsigned char c) { return c == 0; });
}

// Writes DEST in place over its old bytes (a file's before old_length), the
// head laid last; a device's flush before it shows its late write errors.
ended write_in_place(const files& f, std::int64_t old_length)
{
    ended w = write_from_start(f, f.zeros, old_length);
    if (w.result != DONE)
        return w;
    // The body is whole from here on: a failure must leave none of it, as
    // it would look done.
    stop_cuts_dest_to(0);
    std::int64_t now = f.to == writing::file ? current_length(f.destination) : w.reached;
    std::size_t n = head_within(f, w.reached);
    if (now < 0 || (now != w.reached && !set_length(f.destination, w.reached)) ||
        (f.to == writing::device && !flush_to_device(f.destination)) ||
        !seek_to(f.destination, 0) || write_out(f.destination, f.head, n) != n)
        return {DESTINATION_UNWRITABLE, last_error(), 0};
    return w;
}

} // namespace

ended write_destination(const files& f)
{
    if (f.to == writing::stream)
        return write_from_start(f, f.head, 0);
    // A device's length is its size, all of it old bytes.
    std::int64_t old_length = f.destination_facts.length;
    // A head that would read as zeros could not mark an old file unfinished:
    // emptied first, it reaches its full length only once written whole.
    if (f.to == writing::file && old_length > 0 && head_reads_as_zeros(f)) {
        if (!set_length(f.destination, 0))
            return {DESTINATION_UNWRITABLE, last_error()};
        old_length = 0;
    }
    ended w = write_in_place(f, old_length);
    // An old file rewritten in place may run out of space while its old blocks
    // are still held (copy-on-write file systems): it is then emptied, which
    // frees them, and written once more, as a new file would have been.
    if (w.result == DESTINATION_UNWRITABLE && ran_out_of_space(w.error) && f.to == writing::file &&
        old_length > 0 && f.source_facts.length >= 0) {
        stop_cuts_dest_to(0);
        if (!set_length(f.destination, 0) || !seek_to(f.destination, 0))
            return {DESTINATION_UNWRITABLE, last_error()};
        if (!seek_to(f.source, 0))
            return {SOURCE_UNREADABLE, last_error()};
        w = write_in_place(f, 0);
    }
    return w;
}
