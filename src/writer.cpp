// SPDX-License-Identifier: MIT
// DEST written, once known apart from the inputs. A stream gets the head
// first and the rest behind it. A file or a device gets its first block with
// zeros where the head goes, then the body, a file its length, a device its
// flush, and the head, laid last: a run that ends anyhow before then, killed
// included, never leaves a DEST that looks finished.
#include <algorithm>
#include <cstdint>

#include "files.h"

namespace {

engine start_engine(const files& f, std::int64_t old_length)
{
    engine e = {};
    e.source = f.source;
    e.destination = f.destination;
    e.to = f.to;
    e.chunk = f.chunk;
    e.zeros = f.zeros;
    e.original = f.original;
    e.step = f.step;
    e.find_zeros = f.find_zeros;
    e.walk_holes = f.source_facts.sparse;
    e.old_length = old_length;
    e.kernel_works = !f.find_zeros;
    e.line = f.line;
    return e;
}

// The end of what is read of the source: its length, unless it tells its
// length only by running out (a pipe, a file of /proc that says it is
// empty). Never past it, so that a DEST that shows the source at another
// offset cannot make the run write for ever.
std::int64_t source_end(const files& f)
{
    return f.source_facts.length > 0 ? f.source_facts.length : INT64_MAX;
}

// For a destination that cannot seek (a pipe, a character device): the head
// goes out in the first block and the rest streams behind it.
ended write_stream(const files& f)
{
    engine e = start_engine(f, 0);
    ended p = copy_first_block(e, f.head, f.head_length, f.step);
    if (p.result == DONE && !e.source_ran_out)
        p = copy_through(e, p.reached, source_end(f));
    return p;
}

// Whether the head, once laid, could read as zeros, and so could not tell an
// unfinished destination from a finished one. A source that tells its length
// only by running out may end after its first byte: that byte is all that
// is sure to be laid.
bool head_reads_as_zeros(const files& f)
{
    std::int64_t length = f.source_facts.length;
    std::size_t n = length <= 0 ? std::min<std::size_t>(f.head_length, 1) : head_within(f, length);
    return std::all_of(f.head, f.head + n, [](unsigned char c) { return c == 0; });
}

// Writes all of the source but its head, which reads as zeros until it is
// laid. The first block goes out whole in one write, zeros first, so that
// they cover old bytes before anything else is written; it is read like the
// rest, so that a source shorter than it said ends the destination there.
// It ends on a block boundary, where the kernel can share blocks.
ended write_body(const files& f, std::int64_t old_length)
{
    engine e = start_engine(f, old_length);
    std::int64_t length = f.source_facts.length;
    // A pipe, or a file of /proc that says it is empty, tells its length
    // only by running out.
    std::size_t first = length <= 0 ? f.step : INSERT_LENGTH;
    ended p = copy_first_block(e, f.zeros, f.head_length, first);
    if (p.result == DONE && !e.source_ran_out)
        p = length <= 0 ? copy_through(e, p.reached, INT64_MAX) : copy_rest(e, p.reached, length);
    return p;
}

// Writes DEST in place over its old bytes (those of a file before
// old_length): the body, then a file's length, a device's flush (which
// shows its late write errors), and the head, laid last.
ended write_in_place(const files& f, std::int64_t old_length)
{
    ended w = write_body(f, old_length);
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

// An old file rewritten in place may run out of space while its old blocks
// are still held (copy-on-write file systems): it is then emptied, which
// frees them, and written once more, as a new file would have been.
bool starts_over(const files& f, const ended& w, std::int64_t old_length)
{
    return w.result == DESTINATION_UNWRITABLE && ran_out_of_space(w.error) &&
           f.to == writing::file && old_length > 0 && f.source_facts.length >= 0;
}

} // namespace

ended write_destination(const files& f)
{
    if (f.to == writing::stream)
        return write_stream(f);
    // A device's length is its size, all of it old bytes.
    std::int64_t old_length = f.destination_facts.length;
    // A head that would read as zeros could not mark an old file unfinished:
    // it is emptied first, and so reaches its full length only once written
    // whole.
    if (f.to == writing::file && old_length > 0 && head_reads_as_zeros(f)) {
        if (!set_length(f.destination, 0))
            return {DESTINATION_UNWRITABLE, last_error()};
        old_length = 0;
    }
    ended w = write_in_place(f, old_length);
    if (starts_over(f, w, old_length)) {
        stop_cuts_dest_to(0);
        if (!set_length(f.destination, 0) || !seek_to(f.destination, 0))
            return {DESTINATION_UNWRITABLE, last_error()};
        if (!seek_to(f.source, 0))
            return {SOURCE_UNREADABLE, last_error()};
        w = write_in_place(f, 0);
    }
    return w;
}
