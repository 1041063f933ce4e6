// SPDX-License-Identifier: MIT
#include "engine.h"

#include <algorithm>
#include <cstring>

#include "host.h"

namespace {

// A step's end, told at how far the copy got.
ended got_to(ended step, std::int64_t reached)
{
    step.reached = reached;
    return step;
}

// The chunk position where the file's block holding chunk position at ends,
// or n where the chunk ends first.
std::size_t block_end(std::int64_t offset, std::size_t at, std::size_t n)
{
    auto into = static_cast<std::size_t>((offset + static_cast<std::int64_t>(at)) % ZERO_BLOCK);
    return std::min(n, at + ZERO_BLOCK - into);
}

bool whole_zero_block(const unsigned char* bytes, std::size_t n)
{
    return n == ZERO_BLOCK && bytes[0] == 0 && std::memcmp(bytes, bytes + 1, n - 1) == 0;
}

// The next piece for a device whose last push of piece bytes waited
// took_ms: about DEVICE_PIECE_MS of its writing, so that a stop never waits
// long for one; doubled at most, so that a device that had caught
// up is not given more than it can take at once.
std::int64_t next_piece(std::int64_t piece, std::int64_t took_ms)
{
    if (took_ms * 2 < DEVICE_PIECE_MS)
        return std::min(piece * 2, DEVICE_PUSH_PIECE);
    if (took_ms <= DEVICE_PIECE_MS)
        return piece;
    constexpr auto page = static_cast<std::int64_t>(MEMORY_PAGE);
    std::int64_t paced = piece * DEVICE_PIECE_MS / took_ms / page * page;
    return std::max(paced, DEVICE_PIECE_FLOOR);
}

// Waits until the device holds every byte before to (sent being all that
// was written, for the line), and sizes the next piece by how long it took.
bool push_piece(engine& e, std::int64_t to, std::int64_t sent)
{
    std::int64_t start = clock_ms();
    if (!push_to_device(e.destination, e.pushed, to))
        return false;
    e.piece = next_piece(e.piece, clock_ms() - start);
    e.pushed = to;
    count_bytes(*e.line, e.pushed, sent);
    return true;
}

// A device's bytes are on their way once handed to the kernel, which may
// hold that very call while the device stalls; bytes past its end are a
// source too long for it, not a write that it refused.
bool hand_over(engine& e, std::int64_t to)
{
    if (e.to == writing::device && to <= e.old_length)
        count_bytes(*e.line, e.pushed, to);
    return e.to != writing::device || to <= e.old_length;
}

// Every byte of the destination before reached is this run's: a stop may
// keep them, and a device gets them pushed a window behind the copy, a
// piece at a time.
ended advance(engine& e, std::int64_t reached)
{
    stop_cuts_dest_to(reached);
    if (e.to != writing::device) {
        count_bytes(*e.line, reached, reached);
        return {DONE};
    }
    if (reached - e.started >= e.piece) {
        start_push(e.destination, e.started, reached);
        e.started = reached;
    }
    std::int64_t window = std::min(e.piece * DEVICE_WINDOW_PIECES, DEVICE_PUSH_WINDOW);
    while (e.started - window - e.pushed >= e.piece) {
        if (!push_piece(e, e.pushed + e.piece, reached))
            return {DESTINATION_UNWRITABLE, last_error()};
        window = std::min(e.piece * DEVICE_WINDOW_PIECES, DEVICE_PUSH_WINDOW);
    }
    count_bytes(*e.line, e.pushed, reached);
    return {DONE};
}

// Once the source has run out, pushes the rest to a device piece by piece,
// so that the line moves through what would be one long final flush.
ended settle(engine& e, std::int64_t reached)
{
    if (e.to != writing::device)
        return {DONE};
    start_push(e.destination, e.started, reached);
    e.started = reached;
    while (e.pushed < reached) {
        if (!push_piece(e, std::min(reached, e.pushed + e.piece), reached))
            return {DESTINATION_UNWRITABLE, last_error()};
    }
    return {DONE};
}

// Makes [offset, end) of the destination read as zeros where its old content
// lies, without writing them where it can: old content that runs to its end,
// or that cannot be punched out of a file, is cut off, which also frees its
// last block. A device's old bytes are written over.
ended clear_stretch(engine& e, std::int64_t offset, std::int64_t end)
{
    bool device = e.to == writing::device;
    if (offset >= end || (!device && offset >= e.old_length))
        return {DONE};
    // A hole that cannot be punched is no failure: the cut below clears it too.
    if ((device || end < e.old_length) && punch_hole(e.destination, offset, end))
        return {DONE};
    if (!device) {
        if (!set_length(e.destination, offset))
            return {DESTINATION_UNWRITABLE, last_error()};
        e.old_length = offset;
        return {DONE};
    }
    // A piece at a time, so that a device gets them pushed behind as the rest.
    while (offset < end) {
        std::int64_t to = std::min(end, offset + e.piece);
        if (!clear_tail(e.destination, offset, to))
            return {DESTINATION_UNWRITABLE, last_error()};
        offset = to;
        ended o = advance(e, offset);
        if (o.result != DONE)
            return o;
    }
    return {DONE};
}

// Writes n bytes of the chunk at offset but leaves a hole wherever a whole
// block is zeros, clearing the old bytes under it.
ended write_sparse(engine& e, std::size_t n, std::int64_t offset)
{
    std::size_t at = 0;
    while (at < n) {
        std::size_t end = block_end(offset, at, n);
        bool zeros = whole_zero_block(e.chunk + at, end - at);
        while (end < n) {
            std::size_t next = block_end(offset, end, n);
            if (whole_zero_block(e.chunk + end, next - end) != zeros)
                break;
            end = next;
        }
        std::int64_t from = offset + static_cast<std::int64_t>(at);
        std::int64_t to = offset + static_cast<std::int64_t>(end);
        ended o = zeros ? clear_stretch(e, from, to) : ended{DONE};
        if (o.result != DONE)
            return o;
        if (!zeros && (!seek_to(e.destination, from) ||
                       write_out(e.destination, e.chunk + at, end - at) != end - at))
            return {DESTINATION_UNWRITABLE, last_error()};
        at = end;
    }
    if (!seek_to(e.destination, offset + static_cast<std::int64_t>(n)))
        return {DESTINATION_UNWRITABLE, last_error()};
    return {DONE};
}

// Writes the got bytes just read into the chunk to DEST at offset at (zero
// blocks left as holes when sparse) and counts them done. A read shorter
// than want means the source ended: a device gets the rest pushed then.
ended put_chunk(engine& e, std::size_t got, std::size_t want, std::int64_t at, bool sparse)
{
    std::int64_t reached = at + static_cast<std::int64_t>(got);
    if (!hand_over(e, reached))
        return {DEVICE_TOO_SMALL, NO_REASON, at};
    ended o = {DONE};
    if (got > 0 && sparse)
        o = write_sparse(e, got, at);
    else if (got > 0 && write_out(e.destination, e.chunk, got) != got)
        o = {DESTINATION_UNWRITABLE, last_error()};
    if (o.result != DONE)
        return got_to(o, at);
    o = advance(e, reached);
    e.source_ran_out = got < want;
    return got_to(o.result == DONE && e.source_ran_out ? settle(e, reached) : o, reached);
}

} // namespace

bool clear_tail(std::FILE* destination, std::int64_t from, std::int64_t to)
{
    static const unsigned char zeros[ZERO_BLOCK] = {};
    if (!seek_to(destination, from))
        return false;
    while (from < to) {
        auto n =
            static_cast<std::size_t>(std::min(to - from, static_cast<std::int64_t>(ZERO_BLOCK)));
        if (write_out(destination, zeros, n) != n)
            return false;
        from += static_cast<std::int64_t>(n);
    }
    return true;
}

ended copy_first_block(engine& e, const unsigned char* head, std::size_t n, std::size_t want)
{
    want = std::min(want, e.step);
    std::size_t got = std::fread(e.chunk, 1, want, e.source);
    if (std::ferror(e.source))
        return {SOURCE_UNREADABLE, last_error()};
    n = std::min(n, got);
    std::memcpy(e.original, e.chunk, std::min(n, INSERT_LENGTH));
    std::memcpy(e.chunk, head, n);
    return put_chunk(e, got, want, 0, false);
}

// fread only comes back short at end of file or on an error, so pipes are
// handled like files.
ended copy_through(engine& e, std::int64_t from, std::int64_t end)
{
    std::int64_t reached = from;
    while (reached < end) {
        auto want =
            static_cast<std::size_t>(std::min(end - reached, static_cast<std::int64_t>(e.step)));
        std::size_t got = std::fread(e.chunk, 1, want, e.source);
        if (std::ferror(e.source))
            return {SOURCE_UNREADABLE, last_error(), reached};
        ended p = put_chunk(e, got, want, reached, e.find_zeros);
        if (p.result != DONE || e.source_ran_out)
            return p;
        reached = p.reached;
    }
    return {DONE, NO_REASON, reached};
}

ended copy_range(engine& e, std::int64_t from, std::int64_t end)
{
    std::int64_t reached = from;
    while (e.kernel_works && reached < end) {
        // Pieces end on multiples of their size, as the kernel copies best.
        std::int64_t piece = std::min(end, (reached / KERNEL_COPY_PIECE + 1) * KERNEL_COPY_PIECE);
        // A kernel that fails on anything but room leaves the rest to the
        // buffer, whose own calls then fail on the side they belong to.
        ended c = kernel_copy(e.source, e.destination, reached, piece - reached);
        reached += c.reached;
        if (c.result != DONE)
            return {c.result, c.error, reached};
        ended o = advance(e, reached);
        if (o.result != DONE)
            return got_to(o, reached);
        if (reached < piece)
            e.kernel_works = false; // it said no or ran dry: do not ask again
    }
    if (reached == end)
        return {DONE, NO_REASON, reached};
    // Both streams move to where the buffer goes on from.
    if (!seek_to(e.source, reached))
        return {SOURCE_UNREADABLE, last_error(), reached};
    if (!seek_to(e.destination, reached))
        return {DESTINATION_UNWRITABLE, last_error(), reached};
    return copy_through(e, reached, end);
}

ended copy_rest(engine& e, std::int64_t from, std::int64_t length)
{
    std::int64_t reached = from;
    // The kernel would copy hidden holes as zeros, unless it can share blocks.
    // Blocks that could not be shared are copied below: a failure costs time only.
    if (e.find_zeros && share_blocks(e.source, e.destination, from, length)) {
        reached = length;
        ended o = advance(e, length);
        if (o.result != DONE)
            return got_to(o, reached);
    }
    while (reached < length) {
        data_stretch data = {reached, length, false};
        ended found = e.walk_holes ? next_data(e.source, reached, length, data) : ended{DONE};
        if (found.result != DONE)
            return {found.result, found.error, reached};
        ended o = clear_stretch(e, reached, data.start);
        if (o.result != DONE)
            return got_to(o, reached);
        reached = data.start;
        // What the source yields is its length, holes included.
        if (data.ends) {
            e.source_ran_out = true;
            return got_to(settle(e, reached), reached);
        }
        if (data.start < data.end) {
            ended p = copy_range(e, data.start, data.end);
            if (p.result != DONE || e.source_ran_out)
                return p;
            reached = p.reached;
        }
    }
    return got_to(settle(e, reached), reached);
}
