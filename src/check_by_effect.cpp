// SPDX-License-Identifier: MIT
// The check by effect, for a DEST that stands on something that could not be
// followed to its end: its first write, pushed through to its storage, is
// looked for in the inputs, read back past their caches. An input that shows
// it is put back as it was, and the run is refused as the same file.
#include <algorithm>
#include <cstring>

#include "files.h"

namespace {

// Written over DEST's first byte, a zero once sealed, when the input's
// first bytes are zeros too: then DEST's write shows in an input that it is.
constexpr unsigned char PROBE_BYTE = 0xFF;

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
    std::size_t n = head_within(f, reached);
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

// Writes count bytes at DEST's start, cuts it to length where it is longer
// (where length is known), and pushes both through to its storage.
void write_start(const files& f, const unsigned char* bytes, std::size_t count,
                 std::int64_t length)
{
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
        return failed_write();
    ended o = inputs_changed(f, reached);
    // The seal's own first byte, a zero, back in its place.
    if (!seek_to(f.destination, 0) || write_out(f.destination, f.zeros, 1) != 1 ||
        !flush_to_device(f.destination))
        return o.result != DONE ? o : failed_write();
    return o;
}

} // namespace

before_seal keep_first_bytes(const files& f, std::size_t count, std::int64_t old_length)
{
    std::size_t n = count;
    if (old_length < static_cast<std::int64_t>(count))
        n = static_cast<std::size_t>(std::max(old_length, std::int64_t{0}));
    read_back_result back = read_back(f.destination, 0, f.backup, n);
    before_seal before = {back.ok && back.got == n, n, old_length};
    if (before.kept)
        guard_on_stop(f.destination, f.destination_facts.kind, f.left_time,
                      {f.backup, n, old_length});
    return before;
}

ended check_first_write(const files& f, const before_seal& before, ended written,
                        std::int64_t reached)
{
    std::size_t n = head_within(f, reached);
    ended o = written;
    if (o.result == DONE)
        o = flush_to_device(f.destination) ? inputs_changed(f, reached) : failed_write();
    bool zeros = std::all_of(f.original, f.original + n, [](unsigned char c) { return c == 0; });
    if (o.result == DONE && reached > 0 && zeros)
        o = probe_with_a_byte(f, reached);
    if (o.result == DONE)
        return o;
    // DEST's own bytes, where they could be read: a file only keeps its old length.
    if (before.kept)
        write_start(f, f.backup, before.count, f.to == writing::file ? before.length : -1);
    else if (o.result == DESTINATION_IS_SOURCE)
        write_start(f, f.original, n, f.source_facts.length);
    else if (o.result == DESTINATION_IS_INSERT)
        write_start(f, f.head, f.head_length, f.insert_facts.length);
    return o;
}
