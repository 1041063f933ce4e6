// SPDX-License-Identifier: MIT
// DEST told apart from the inputs by reading, where what stands under them could not be followed
// to its end: before anything is written to it, so that no kill at any instant can harm an input.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "engine.h"
#include "files.h"

namespace {

// Reads DEST and an input side by side, a piece of each at a time.
constexpr std::size_t COMPARED_PIECE = WORK_BUFFER_SIZE / 2;

// An input that DEST is compared with, and what either outcome is called.
struct compared_input {
    std::FILE* stream;
    const file_facts& facts;
    outcome same;       // DEST reads as this input
    outcome unreadable; // this input could not be read
};

// Whether DEST is told apart from an input by reading both at the same offsets: by another length,
// or other bytes. Reading exactly like it, or unreadable, DEST may be that input.
ended tell_apart(const files& f, const compared_input& in)
{
    std::int64_t length = f.destination_facts.length;
    if (!holds_bytes(in.facts) || in.facts.length != length)
        return {DONE, NO_REASON};
    unsigned char* mine = f.chunk;
    unsigned char* theirs = f.chunk + COMPARED_PIECE;
    for (std::int64_t at = 0; at < length;) {
        auto n = static_cast<std::size_t>(
            std::min(length - at, static_cast<std::int64_t>(COMPARED_PIECE)));
        ended dest = read_back(f.destination, at, mine, n, in.same);
        if (dest.result != DONE)
            return {in.same, REASON_NOT_TOLD_APART};
        ended input = read_back(in.stream, at, theirs, n, in.unreadable);
        if (input.result != DONE)
            return input;
        auto got = static_cast<std::size_t>(dest.reached);
        if (dest.reached != input.reached || std::memcmp(mine, theirs, got) != 0)
            return {DONE, NO_REASON};
        if (got < n)
            break;
        at += static_cast<std::int64_t>(n);
    }
    return {in.same, REASON_NOT_TOLD_APART};
}

} // namespace

ended prove_apart(files& f)
{
    if (f.apart)
        return {DONE, NO_REASON};
    const compared_input inputs[] = {
        {f.source, f.source_facts, DESTINATION_IS_SOURCE, SOURCE_UNREADABLE},
        {f.insert, f.insert_facts, DESTINATION_IS_INSERT, INSERT_UNREADABLE}};
    for (const compared_input& in : inputs) {
        ended e = tell_apart(f, in);
        if (e.result != DONE)
            return e;
    }
    f.apart = true;
    return {DONE, NO_REASON};
}
