// SPDX-License-Identifier: MIT
// What a run leaves of DEST: its files closed in their order, a close that
// fails leaving DEST plainly unfinished, DEST cut back after a failure, and
// what a stop cuts meanwhile.
#include "files.h"

namespace {

// What it takes to make a finished DEST plainly unfinished again: its kind,
// how many bytes of the head were laid, and the date a regular DEST gets.
struct unfinishing {
    file_kind kind;
    std::size_t laid;
    file_time left;
};

// Makes a finished DEST plainly unfinished: a file emptied and dated older
// than its inputs for make, a device's laid head zeroed and flushed, as its
// size cannot change. The run fails already: a call that fails here too
// leaves nothing better to do.
void mark_unfinished(std::FILE* destination, const unfinishing& undo)
{
    if (undo.kind == file_kind::regular) {
        (void)set_length(destination, 0);
        (void)date_file(file_of(destination), undo.left);
        return;
    }
    (void)clear_tail(destination, 0, static_cast<std::int64_t>(undo.laid));
    (void)flush_to_device(destination);
}

// Closes the destination; false if that failed, with error the close's. A
// close can report a write that failed late (network file systems): it is
// then undone, so that it does not look finished.
bool close_destination(std::FILE* destination, const unfinishing& undo, int& error)
{
    bool bytes = undo.kind == file_kind::regular || undo.kind == file_kind::block_device;
    error = NO_REASON;
    // Open twice, so that it can still be undone once the close has failed.
    std::FILE* spare = bytes ? duplicate_stream(destination, error) : nullptr;
    if (bytes && spare == nullptr) {
        // Without a spare a failed close could not be undone: fail first.
        mark_unfinished(destination, undo);
        std::fclose(destination);
        return false;
    }
    bool closed = std::fclose(destination) == 0;
    error = closed ? NO_REASON : last_error();
    if (!closed && spare != nullptr)
        mark_unfinished(spare, undo);
    if (spare != nullptr)
        std::fclose(spare);
    return closed;
}

} // namespace

void empty_dest_on_stop(const files& f)
{
    stop_cuts_dest_to(0);
    guard_dest_on_stop(f.destination, f.destination_facts.kind, f.left_time);
}

void let_dest_be_on_stop()
{
    guard_dest_on_stop(nullptr, file_kind::unmeasured, OLDEST_TIME);
}

void undo_failed(const files& f, failure_leaves leaves, std::int64_t kept)
{
    // Made by this run and failed before it was written: empty, and dated
    // so that make does not take it for done.
    if (f.destination == nullptr && f.made)
        (void)date_file(f.destination_turn, OLDEST_TIME);
    if (leaves == failure_leaves::dest_as_is || f.destination == nullptr)
        return;
    stop_cuts_dest_to(kept);
    file_kind kind = f.destination_facts.kind;
    // One that could not be measured may be regular too.
    if (kind != file_kind::regular && kind != file_kind::unmeasured)
        return;
    std::int64_t now = current_length(f.destination);
    // A file that cannot be cut (another program maps it) gets zeros instead.
    if ((now < 0 || now > kept) && !set_length(f.destination, kept) && now > kept)
        (void)clear_tail(f.destination, kept, now);
    // So that make and ninja take it for older than its inputs.
    (void)date_file(file_of(f.destination), f.left_time);
}

ended close_files(files& f, std::size_t laid)
{
    // A device reports its write errors only when asked to flush; its head
    // is then zeroed, as it cannot be emptied.
    if (f.to == writing::device && !flush_to_device(f.destination)) {
        int error = last_error();
        mark_unfinished(f.destination, {file_kind::block_device, laid, OLDEST_TIME});
        return {DESTINATION_UNWRITABLE, error};
    }
    // Inputs lose nothing if their close fails; the destination may.
    std::fclose(f.source);
    // Finished, or about to be closed: a stop leaves DEST be.
    let_dest_be_on_stop();
    int error = NO_REASON;
    bool closed =
        close_destination(f.destination, {f.destination_facts.kind, laid, f.left_time}, error);
    f.destination = nullptr;
    // Its turn ends only once no handle of this run writes it.
    close_file(f.destination_turn);
    f.destination_turn = NO_FILE;
    end_files_under(*f.under);
    std::fclose(f.insert);
    return {closed ? DONE : DESTINATION_UNWRITABLE, error};
}
