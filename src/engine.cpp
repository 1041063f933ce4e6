// SPDX-License-Identifier: MIT
#include "engine.h"

#include <algorithm>
#include <cstring>

#include "files.h"

namespace {

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

// The next piece, paced by the last push (took_ms) to about DEVICE_PIECE_MS
// of writing; at most doubled, as a device that caught up may take less.
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
    if (!push_to_device(e.f.destination, e.pushed, to))
        return false;
    e.piece = next_piece(e.piece, clock_ms() - start);
    e.pushed = to;
    count_bytes(*e.f.line, e.pushed, sent);
    return true;
}

// Every byte before reached is this run's: a stop may keep them, and a
// device gets them pushed a window behind the copy, a piece at a time.
ended advance(engine& e, std::int64_t reached)
{
    stop_cuts_dest_to(reached);
    if (e.f.to != writing::device) {
        count_bytes(*e.f.line, reached, reached);
        return {DONE};
    }
    if (reached - e.started >= e.piece) {
        start_push(e.f.destination, e.started, reached);
        e.started = reached;
    }
    while (e.started - e.pushed - e.piece >=
           std::min(e.piece * DEVICE_WINDOW_PIECES, DEVICE_PUSH_WINDOW))
        if (!push_piece(e, e.pushed + e.piece, reached))
            return {DESTINATION_UNWRITABLE, last_error()};
    count_bytes(*e.f.line, e.pushed, reached);
    return {DONE};
}

// Once the source has run out, pushes the rest to a device piece by piece,
// so that the line moves through what would be one long final flush.
ended settle(engine& e, std::int64_t reached)
{
    if (e.f.to != writing::device)
        return {DONE};
    start_push(e.f.destination, e.started, reached);
    e.started = reached;
    while (e.pushed < reached)
        if (!push_piece(e, std::min(reached, e.pushed + e.piece), reached))
            return {DESTINATION_UNWRITABLE, last_error()};
    return {DONE};
}

// Makes [offset, end) of DEST read as zeros where old bytes lie: punched out,
// or of a file cut off when they run to its end or cannot be punched (which
// also frees its last block); a device's are written over.
ended clear_stretch(engine& e, std::int64_t offset, std::int64_t end)
{
    bool device = e.f.to == writing::device;
    if (offset >= end || (!device && offset >= e.old_length))
        return {DONE};
    // A hole that cannot be punched is no failure: the cut below clears it too.
    if ((device || end < e.old_length) && punch_hole(e.f.destination, offset, end))
        return {DONE};
    if (!device) {
        if (!set_length(e.f.destination, offset))
            return {DESTINATION_UNWRITABLE, last_error()};
        e.old_length = offset;
        return {DONE};
    }
    // A piece at a time, so that a device gets them pushed behind as the rest.
    while (offset < end) {
        std::int64_t to = std::min(end, offset + e.piece);
        if (!clear_tail(e.f.destination, offset, to))
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
    const unsigned char* chunk = e.f.chunk;
    std::size_t at = 0;
    while (at < n) {
        std::size_t end = block_end(offset, at, n);
        bool zeros = whole_zero_block(chunk + at, end - at);
        // The blocks after it that are alike go in the same stretch.
        while (end < n && whole_zero_block(chunk + end, block_end(offset, end, n) - end) == zeros)
            end = block_end(offset, end, n);
        std::int64_t from = offset + static_cast<std::int64_t>(at);
        std::int64_t to = offset + static_cast<std::int64_t>(end);
        ended o = zeros ? clear_stretch(e, from, to) : ended{DONE};
        if (o.result != DONE)
            return o;
        if (!zeros && (!seek_to(e.f.destination, from) ||
                       write_out(e.f.destination, chunk + at, end - at) != end - at))
            return {DESTINATION_UNWRITABLE, last_error()};
        at = end;
    }
    if (!seek_to(e.f.destination, offset + static_cast<std::int64_t>(n)))
        return {DESTINATION_UNWRITABLE, last_error()};
    return {DONE};
}

// Writes the got bytes just read to DEST at at (zero blocks as holes when
// sparse); a read shorter than want means the source ended.
ended put_chunk(engine& e, std::size_t got, std::size_t want, std::int64_t at, bool sparse)
{
    std::int64_t reached = at + static_cast<std::int64_t>(got);
    // Bytes past a device's end are a source too long for it, not a write it
    // refused; those before are on their way once handed to the kernel, which
    // may hold that very call while the device stalls.
    if (e.f.to == writing::device) {
        if (reached > e.old_length)
            return {DESTINATION_UNWRITABLE, REASON_DEVICE_TOO_SMALL, at};
        count_bytes(*e.f.line, e.pushed, reached);
    }
    ended o = {DONE};
    if (got > 0 && sparse)
        o = write_sparse(e, got, at);
    else if (got > 0 && write_out(e.f.destination, e.f.chunk, got) != got)
        o = {DESTINATION_UNWRITABLE, last_error()};
    if (o.result != DONE)
        return {o.result, o.error, at};
    o = advance(e, reached);
    e.source_ran_out = got < want;
    if (o.result == DONE && e.source_ran_out)
        o = settle(e, reached);
    return {o.result, o.error, reached};
}

// Copies [from, end) of a seekable source to the same place: the kernel
// first while it is willing, then the buffer.
ended copy_range(engine& e, std::int64_t from, std::int64_t end)
{
    std::int64_t reached = from;
    while (e.kernel_works && reached < end) {
        // Pieces end on multiples of their size, as the kernel copies best.
        std::int64_t piece = std::min(end, (reached / KERNEL_COPY_PIECE + 1) * KERNEL_COPY_PIECE);
        // A kernel that fails on anything but room leaves the rest to the
        // buffer, whose own calls then fail on the side they belong to.
        ended c = kernel_copy(e.f.source, e.f.destination, reached, piece - reached);
        reached += c.reached;
        if (c.result != DONE)
            return {c.result, c.error, reached};
        ended o = advance(e, reached);
        if (o.result != DONE)
            return {o.result, o.error, reached};
        if (reached < piece)
            e.kernel_works = false; // it said no or ran dry: do not ask again
    }
    if (reached == end)
        return {DONE, NO_REASON, reached};
    // Both streams move to where the buffer goes on from.
    if (!seek_to(e.f.source, reached))
        return {SOURCE_UNREADABLE, last_error(), reached};
    if (!seek_to(e.f.destination, reached))
        return {DESTINATION_UNWRITABLE, last_error(), reached};
    return copy_through(e, reached, end);
}

} // namespace

bool clear_tail(std::FILE* destination, std::int64_t from, std::int64_t to)
{
    static const unsigned char zeros[ZERO_BLOCK] = {};
    if (!seek_to(destination, from))
        return false;
    while (from < to) {
        auto n = static_cast<std::size_t>(std::min<std::int64_t>(to - from, ZERO_BLOCK));
        if (write_out(destination, zeros, n) != n)
            return false;
        from += static_cast<std::int64_t>(n);
    }
    return true;
}

ended copy_first_block(engine& e, const unsigned char* head, std::size_t want)
{
    want = std::min(want, e.f.step);
    std::size_t got = std::fread(e.f.chunk, 1, want, e.f.source);
    if (std::ferror(e.f.source))
        return {SOURCE_UNREADABLE, last_error()};
    std::memcpy(e.f.chunk, head, std::min(e.f.head_length, got));
    return put_chunk(e, got, want, 0, false);
}

// fread only comes back short at end of file or on an error, so pipes are
// handled like files.
ended copy_through(engine& e, std::int64_t from, std::int64_t end)
{
    std::int64_t reached = from;
    while (reached < end) {
        auto want =
            static_cast<std::size_t>(std::min(end - reached, static_cast<std::int64_t>(e.f.step)));
        std::size_t got = std::fread(e.f.chunk, 1, want, e.f.source);
        if (std::ferror(e.f.source))
            return {SOURCE_UNREADABLE, last_error(), reached};
        ended p = put_chunk(e, got, want, reached, e.f.find_zeros);
        if (p.result != DONE || e.source_ran_out)
            return p;
        reached = p.reached;
    }
    return {DONE, NO_REASON, reached};
}

ended copy_rest(engine& e, std::int64_t from, std::int64_t length)
{
    std::int64_t reached = from;
    // The kernel would copy hidden holes as zeros, unless it can share blocks.
    // Blocks that could not be shared are copied below: a failure costs time only.
    if (e.f.find_zeros && share_blocks(e.f.source, e.f.destination, from, length)) {
        reached = length;
        ended o = advance(e, length);
        if (o.result != DONE)
            return {o.result, o.error, reached};
    }
    while (reached < length) {
        data_stretch data = {reached, length, false};
        ended found =
            e.f.source_facts.sparse ? next_data(e.f.source, reached, length, data) : ended{DONE};
        if (found.result != DONE)
            return {found.result, found.error, reached};
        ended o = clear_stretch(e, reached, data.start);
        if (o.result != DONE)
            return {o.result, o.error, reached};
        reached = data.start;
        // What the source yields is its length, holes included.
        if (data.ends) {
            e.source_ran_out = true;
            break;
        }
        if (data.start < data.end) {
            ended p = copy_range(e, data.start, data.end);
            if (p.result != DONE || e.source_ran_out)
                return p;
            reached = p.reached;
        }
    }
    ended o = settle(e, reached);
    return {o.result, o.error, reached};
}
