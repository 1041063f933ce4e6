// SPDX-License-Identifier: MIT
// What a run leaves of DEST: its files closed in their order, a close that
// fails leaving DEST plainly unfinished, DEST cut back after a failure, and
// what a stop cuts meanwhile.
#include <algorithm>

#include "files.h"

namespace {

// Writes zeros over [from, to). Already failing: a write that fails too
// leaves nothing better to do.
void clear_tail(std::FILE* destination, std::int64_t from, std::int64_t to)
{
    static const unsigned char zeros[ZERO_BLOCK] = {};
    if (!seek_to(destination, from))
        return;
    while (from < to) {
        auto n =
            static_cast<std::size_t>(std::min(to - from, static_cast<std::int64_t>(ZERO_BLOCK)));
        if (write_out(destination, zeros, n) != n)
            return;
        from += static_cast<std::int64_t>(n);
    }
}

// Undoes a finished look: a file emptied, a device's laid head zeroed and
// flushed, as its size cannot change. Already failing, as above.
void unfinish(std::FILE* destination, file_kind kind, std::size_t laid)
{
    if (kind == file_kind::regular) {
        (void)set_length(destination, 0);
        return;
    }
    clear_tail(destination, 0, static_cast<std::int64_t>(laid));
    (void)flush_to_device(destination);
}

// Closes the destination; false if that failed, with error the close's. A
// close can report a write that failed late (network file systems): a
// regular destination is then emptied, and a device's first laid bytes, its
// head, are zeroed, so that it does not look finished.
bool close_destination(std::FILE* destination, const file_facts& facts, std::size_t laid,
                       int& error)
{
    file_kind kind = facts.kind;
    error = NO_REASON;
    // Open twice, so that it can still be undone once the close has failed.
    std::FILE* spare = holds_bytes(facts) ? duplicate_stream(destination, error) : nullptr;
    if (holds_bytes(facts) && spare == nullptr) {
        // Without a spare a failed close could not be undone: fail first.
        unfinish(destination, kind, laid);
        std::fclose(destination);
        return false;
    }
    bool closed = std::fclose(destination) == 0;
    error = closed ? NO_REASON : last_error();
    if (!closed && spare != nullptr)
        unfinish(spare, kind, laid);
    if (spare != nullptr)
        std::fclose(spare);
    return closed;
}

} // namespace

void cut_on_stop(const files& f, std::int64_t kept)
{
    keep_on_stop(kept);
    // Only a regular file has a length to cut back to.
    bool regular = f.destination_facts.kind == file_kind::regular;
    guard_on_stop(regular ? f.destination : nullptr, nullptr, 0, kept);
}

// One that could not be measured may be regular too.
void cut_back(const files& f, std::int64_t kept)
{
    if (kept == LEAVE_AS_IS || f.destination == nullptr)
        return;
    keep_on_stop(kept);
    file_kind kind = f.destination_facts.kind;
    if (kind != file_kind::regular && kind != file_kind::unmeasured)
        return;
    std::int64_t now = current_length(f.destination);
    if (now >= 0 && now <= kept)
        return;
    // A file that cannot be cut (another program maps it) gets zeros instead.
    if (!set_length(f.destination, kept) && now > kept)
        clear_tail(f.destination, kept, now);
}

ended close_files(files& f, std::size_t laid)
{
    // A device reports its write errors only when asked to flush; its head
    // is then zeroed, as it cannot be emptied.
    if (f.to == writing::device && !flush_to_device(f.destination)) {
        int error = last_error();
        unfinish(f.destination, file_kind::block_device, laid);
        return {DESTINATION_UNWRITABLE, error};
    }
    // Inputs lose nothing if their close fails; the destination may.
    std::fclose(f.source);
    // Finished, or about to be closed: a stop leaves DEST be.
    guard_on_stop(nullptr, nullptr, 0, 0);
    int error = NO_REASON;
    bool closed = close_destination(f.destination, f.destination_facts, laid, error);
    f.destination = nullptr;
    // Its turn ends only once no handle of this run writes it.
    close_file(f.destination_turn);
    f.destination_turn = NO_FILE;
    std::fclose(f.insert);
    return {closed ? DONE : DESTINATION_UNWRITABLE, error};
}
