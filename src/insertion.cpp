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
#include "talvor.h"

namespace {

// How writing the destination ended, and how many of its leading bytes a
// failure may leave: none of them old, and never a whole that looks done.
struct written {
    outcome result;
    std::int64_t kept;    // or LEAVE_AS_IS, for a DEST that may be an input
    std::int64_t reached; // bytes of DEST written
    int error;            // the system's error of the call that failed
};

ended failed(outcome o)
{
    return {o, last_error()};
}

// A byte that no input holds at the start once sealed: its zeros.
constexpr unsigned char PROBE_BYTE = 0xFF;

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

// Writes n bytes of IP.BIN over the start of the destination.
ended lay_head(const files& f, std::size_t n)
{
    if (!seek_to(f.destination, 0) || write_out(f.destination, f.head, n) != n)
        return failed(DESTINATION_UNWRITABLE);
    return {DONE, NO_REASON};
}

// For a destination that cannot seek (a pipe, a character device): the head
// goes out in the first block and the rest streams behind it.
written stream_insertion(const files& f)
{
    engine e = start_engine(f, 0);
    copy_end p = copy_first_block(e, f.head, f.head_length, f.step);
    if (p.result == DONE && !p.ended)
        p = copy_through(e, p.reached, INT64_MAX);
    return {p.result, p.reached, p.reached, p.error};
}

bool all_zeros(const unsigned char* bytes, std::size_t n)
{
    return std::all_of(bytes, bytes + n, [](unsigned char c) { return c == 0; });
}

// Whether the head, once laid, could read as zeros, and so could not tell an
// unfinished destination from a finished one. Of a source that tells its
// length only by running out, any first bytes of it may be all it lays.
bool head_reads_as_zeros(const files& f)
{
    std::int64_t length = f.source_facts.length;
    if (length <= 0)
        return f.head_length == 0 || f.head[0] == 0;
    auto n = static_cast<std::size_t>(std::min(static_cast<std::int64_t>(f.head_length), length));
    return all_zeros(f.head, n);
}

bool holds_bytes(const file_facts& facts)
{
    return facts.kind == file_kind::regular || facts.kind == file_kind::block_device;
}

// What an input held at its start before DEST's first write: head bytes,
// then, past them, rest bytes (those of the first block), and its length.
struct input_start {
    std::FILE* stream;
    const unsigned char* head;
    std::size_t head_count;
    const unsigned char* rest;
    std::size_t count;
    std::int64_t length;
};

// Whether an input reads now as it did; one byte more than it had is asked
// for, so that one lengthened shows too.
ended compare_back(const files& f, const input_start& in, outcome changed)
{
    bool whole = in.length >= 0 && in.length <= static_cast<std::int64_t>(in.count);
    std::size_t asked = in.count + (whole ? 1 : 0);
    read_back_result back = read_back(in.stream, 0, f.scratch, asked);
    if (!back.ok)
        return {changed == DESTINATION_IS_SOURCE ? SOURCE_UNREADABLE : INSERT_UNREADABLE,
                back.error};
    std::size_t want = whole ? static_cast<std::size_t>(in.length) : in.count;
    std::size_t head = std::min(in.head_count, want);
    bool same = back.got == want && std::memcmp(f.scratch, in.head, head) == 0 &&
                (head == want || std::memcmp(f.scratch + head, in.rest + head, want - head) == 0);
    return {same ? DONE : changed, NO_REASON};
}

// Reads the inputs back after DEST's first write: whether it showed in one.
ended inputs_changed(const files& f, std::int64_t reached)
{
    auto got =
        static_cast<std::size_t>(std::min(reached, static_cast<std::int64_t>(INSERT_LENGTH)));
    std::size_t n = std::min(f.head_length, got);
    ended o = {DONE, NO_REASON};
    if (holds_bytes(f.source_facts))
        o = compare_back(f, {f.source, f.original, n, f.chunk, got, f.source_facts.length},
                         DESTINATION_IS_SOURCE);
    if (o.result == DONE && holds_bytes(f.insert_facts))
        o = compare_back(f,
                         {f.insert, f.head, f.head_length, nullptr, f.head_length,
                          f.insert_facts.length},
                         DESTINATION_IS_INSERT);
    return o;
}

// DEST's first bytes as they were, read before its first write where it
// lets itself be read, and its length: what a failure before DEST is known
// apart from the inputs puts back, and a stop meanwhile too.
struct before_seal {
    bool kept;
    std::size_t count;
    std::int64_t length;
};

before_seal keep_first_bytes(const files& f, std::size_t count, std::int64_t old_length)
{
    std::size_t n = count;
    if (old_length < static_cast<std::int64_t>(count))
        n = static_cast<std::size_t>(std::max(old_length, std::int64_t{0}));
    read_back_result back = read_back(f.destination, 0, f.backup, n);
    before_seal before = {back.ok && back.got == n, n, old_length};
    if (before.kept)
        guard_first_bytes(f.destination, f.backup, n, old_length);
    return before;
}

void put_first_bytes_back(const files& f, const before_seal& before)
{
    if (seek_to(f.destination, 0))
        (void)write_out(f.destination, f.backup, before.count);
    if (f.to == writing::file && current_length(f.destination) > before.length)
        (void)set_length(f.destination, before.length);
    (void)flush_to_device(f.destination);
}

// Puts back through DEST what its first write changed in the input that it
// turned out to be: that input's first bytes, and its length.
void restore(const files& f, outcome which, std::size_t n)
{
    bool source = which == DESTINATION_IS_SOURCE;
    const unsigned char* bytes = source ? f.original : f.head;
    std::size_t count = source ? n : f.head_length;
    std::int64_t length = source ? f.source_facts.length : f.insert_facts.length;
    if (seek_to(f.destination, 0))
        (void)write_out(f.destination, bytes, count);
    if (length >= 0 && current_length(f.destination) > length)
        (void)set_length(f.destination, length);
    (void)flush_to_device(f.destination);
}

// A seal of zeros over zeros changes nothing to see: one byte of DEST is
// changed for a moment instead, and looked for in the inputs.
ended probe_with_a_byte(const files& f, std::int64_t reached)
{
    if (!seek_to(f.destination, 0) || write_out(f.destination, &PROBE_BYTE, 1) != 1 ||
        !flush_to_device(f.destination))
        return failed(DESTINATION_UNWRITABLE);
    ended o = inputs_changed(f, reached);
    // The seal's own first byte, a zero, back in its place.
    if (!seek_to(f.destination, 0) || write_out(f.destination, f.zeros, 1) != 1 ||
        !flush_to_device(f.destination))
        return o.result != DONE ? o : failed(DESTINATION_UNWRITABLE);
    return o;
}

// DEST stands on something that could not be followed to its end: its first
// write, pushed through to its storage, is looked for in the inputs, and an
// input that shows it is put back as it was.
ended check_by_effect(const files& f, std::int64_t reached)
{
    if (!flush_to_device(f.destination))
        return failed(DESTINATION_UNWRITABLE);
    auto n = static_cast<std::size_t>(
        std::min(static_cast<std::int64_t>(f.head_length), reached));
    ended o = inputs_changed(f, reached);
    if (o.result == DONE && reached > 0 && all_zeros(f.original, n))
        return probe_with_a_byte(f, reached);
    return o;
}

// Once DEST is known to share nothing with the inputs, a stop may cut it,
// and a head of zeros, which no seal can mark, has nothing old after it.
ended set_apart(const files& f, engine& e, std::int64_t reached)
{
    guard_destination(f.destination, f.destination_facts.kind, f.left_time);
    keep_on_stop(reached);
    if (f.to == writing::device || e.old_length <= reached || !head_reads_as_zeros(f))
        return {DONE, NO_REASON};
    if (!set_length(f.destination, reached))
        return failed(DESTINATION_UNWRITABLE);
    e.old_length = reached;
    return {DONE, NO_REASON};
}

// Writes all of the source but its head, which reads as zeros until it is
// laid last: a run that ends anyhow before then, killed included, never
// leaves a destination that looks finished. The first block goes out whole
// in one write, zeros first, so that they cover old bytes before anything
// else is written; it is read like the rest, so that a source shorter than
// it said ends the destination there. It ends on a block boundary, where
// the kernel can share blocks.
written write_body(const files& f, std::int64_t old_length)
{
    engine e = start_engine(f, old_length);
    std::int64_t length = f.source_facts.length;
    // A pipe, or a file of /proc that says it is empty, tells its length
    // only by running out.
    std::size_t first = length <= 0 && f.apart ? f.step : INSERT_LENGTH;
    before_seal before = {};
    if (!f.apart)
        before = keep_first_bytes(f, first, old_length);
    copy_end p = copy_first_block(e, f.zeros, f.head_length, first);
    ended end = {p.result, p.error};
    if (!f.apart && end.result == DONE)
        end = check_by_effect(f, p.reached);
    outcome o = end.result;
    if (!f.apart && o != DONE) {
        auto n = static_cast<std::size_t>(
            std::min(static_cast<std::int64_t>(f.head_length), p.reached));
        bool input = o == DESTINATION_IS_SOURCE || o == DESTINATION_IS_INSERT;
        if (before.kept)
            put_first_bytes_back(f, before);
        else if (input)
            restore(f, o, n);
        return {o, LEAVE_AS_IS, p.reached, end.error};
    }
    if (o != DONE)
        return {o, p.reached, p.reached, end.error};
    if (!f.apart && (end = set_apart(f, e, p.reached)).result != DONE)
        return {end.result, p.reached, p.reached, end.error};
    if (!p.ended)
        p = length <= 0 ? copy_through(e, p.reached, INT64_MAX) : copy_rest(e, p.reached, length);
    return {p.result, p.reached, p.reached, p.error};
}

// Writes the whole destination over its old bytes: those of a file before
// old_length. A file is rewritten in place, given its length and then its
// head; a device likewise, but keeps its size.
written write_destination(const files& f, std::int64_t old_length)
{
    if (f.to == writing::stream)
        return stream_insertion(f);
    written w = write_body(f, old_length);
    if (w.result != DONE)
        return w;
    // The body is whole from here on: a failure must not leave it looking done.
    keep_on_stop(0);
    if (f.to == writing::file) {
        std::int64_t now = current_length(f.destination);
        if (now < 0 || (now != w.reached && !set_length(f.destination, w.reached)))
            return {DESTINATION_UNWRITABLE, 0, w.reached, last_error()};
    }
    // A device's late write errors must show before the head makes it look done.
    if (f.to == writing::device && !flush_to_device(f.destination))
        return {DESTINATION_UNWRITABLE, 0, w.reached, last_error()};
    auto n =
        static_cast<std::size_t>(std::min(static_cast<std::int64_t>(f.head_length), w.reached));
    ended laid = lay_head(f, n);
    return {laid.result, 0, w.reached, laid.error};
}

// Writes the destination. An old file whose head would read as zeros (an
// empty IP.BIN, or one of zeros) is emptied first, as no seal could mark it
// unfinished, when it is known to share nothing with the inputs. An old file
// rewritten in place may run out of space while its old blocks are still
// held (copy-on-write file systems): it is then emptied and written once
// more, as a new file would have been.
written insert_head(const files& f)
{
    // A device's length is its size, all of it old bytes.
    std::int64_t old_length = f.destination_facts.length;
    // Started empty, a file only reaches its full length once written whole.
    if (f.apart && f.to == writing::file && old_length > 0 && head_reads_as_zeros(f)) {
        if (!set_length(f.destination, 0))
            return {DESTINATION_UNWRITABLE, 0, 0, last_error()};
        old_length = 0;
    }
    written w = write_destination(f, old_length);
    bool again = w.result == DESTINATION_UNWRITABLE && w.kept != LEAVE_AS_IS &&
                 ran_out_of_space(w.error) && f.to == writing::file && old_length > 0 &&
                 f.source_facts.length >= 0;
    if (!again)
        return w;
    keep_on_stop(0);
    if (!set_length(f.destination, 0) || !seek_to(f.destination, 0) || !seek_to(f.source, 0))
        return {w.result, 0, 0, w.error};
    return write_destination(f, 0);
}

// Reads IP.BIN's first bytes, as many as it has up to INSERT_LENGTH.
ended read_head(files& f)
{
    f.head_length = std::fread(f.head, 1, INSERT_LENGTH, f.insert);
    if (std::ferror(f.insert))
        return {INSERT_UNREADABLE, last_error()};
    return {DONE, NO_REASON};
}

// How the run ended, and how many leading bytes of DEST a failure may
// leave (LEAVE_AS_IS: all of them, for a DEST that may be an input).
struct run_end {
    outcome result;
    int error;
    std::int64_t kept;
    std::int64_t reached; // bytes of DEST written, for a finished run
};

// Until DEST is known apart from the inputs, a failure leaves all of it.
run_end failed_after_open(const files& f, ended e)
{
    return {e.result, e.error, f.apart ? 0 : LEAVE_AS_IS, 0};
}

// The run's steps in their order, each ending it if it fails.
run_end run_steps(files& f, const run_names& names)
{
    ended e = open_inputs(f, names);
    if (e.result != DONE)
        return {e.result, e.error, LEAVE_AS_IS, 0};
    // Refused or not measured: nothing of DEST was written.
    if ((e = open_destination(f, names)).result != DONE)
        return {e.result, e.error, LEAVE_AS_IS, 0};
    // A device that SOURCE's known length overruns is left untouched.
    if (f.destination_facts.kind == file_kind::block_device &&
        f.source_facts.length > f.destination_facts.length)
        return {DEVICE_TOO_SMALL, NO_REASON, LEAVE_AS_IS, 0};
    // Until DEST is known to share nothing with the inputs, a stop leaves it be.
    if (f.apart)
        guard_destination(f.destination, f.destination_facts.kind, f.left_time);
    if ((e = take_memory(f)).result != DONE)
        return failed_after_open(f, e);
    plan(f);
    if ((e = read_head(f)).result != DONE)
        return failed_after_open(f, e);
    written w = insert_head(f);
    if (w.result != DONE)
        return {w.result, w.error, w.kept, w.reached};
    auto laid =
        static_cast<std::size_t>(std::min(static_cast<std::int64_t>(f.head_length), w.reached));
    // Closed or zeroed by then: nothing is left to cut.
    e = close_files(f, laid);
    return {e.result, e.error, LEAVE_AS_IS, w.reached};
}

// IP.BIN that inserts nothing, or not all of itself, is surely a mistake,
// and so is a SOURCE that cuts its head. Told once the run has succeeded all
// the same, with the progress line gone, so that no line is drawn over them.
void warn_of_mistakes(const files& f, std::int64_t reached, const speaker& s)
{
    if (f.head_length == 0)
        warn_empty_insert(s);
    if (f.insert_facts.length > static_cast<std::int64_t>(INSERT_LENGTH))
        warn_long_insert(s, f.insert_facts.length);
    if (reached < static_cast<std::int64_t>(f.head_length))
        warn_short_source(s, reached);
}

// The one way out of a run: DEST cut back to what a failure may leave, the
// line gone, the one message, and the process ended with its status.
[[noreturn]] void end_run(const files& f, const run_names& names, const run_end& end)
{
    if (end.result != DONE)
        cut_back(f, end.kept);
    close_terminal_line();
    if (end.result == DONE)
        warn_of_mistakes(f, end.reached, {names, f.safe});
    // DEST is as it stays: a stop meanwhile must not read the freed memory.
    release_destination();
    std::free(f.memory);
    std::exit(tell_outcome({names, f.safe}, end.result, end.error));
}

} // namespace

void run_insertion(const char* name, const char* source_path, const char* destination_path)
{
    const run_names names = {name, source_path, destination_path};
    progress_line line = {};
    start_progress(line, name, destination_path);
    watch_stops();
    files f = {};
    f.line = &line;
    end_run(f, names, run_steps(f, names));
}
