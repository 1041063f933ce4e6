// SPDX-License-Identifier: MIT
// What a run leaves of DEST: files closed in order, DEST undone after a failure, what a stop cuts.
#include "engine.h"
#include "files.h"

namespace {

// Makes a finished DEST plainly unfinished through stream: a file emptied and dated as a failure
// leaves it, a device's laid head zeroed, as it cannot shrink. The run fails already: a call that
// fails here too leaves nothing better to do.
void mark_unfinished(const files& f, std::FILE* stream, std::size_t laid)
{
    if (f.destination_facts.kind == file_kind::regular) {
        (void)set_length(stream, 0);
        (void)date_file(file_of(stream), f.left_time);
        return;
    }
    (void)clear_tail(stream, 0, static_cast<std::int64_t>(laid));
    (void)flush_to_device(stream);
}

// Closes DEST; false if that failed, with error the close's. A close can report a write that
// failed late (network file systems): DEST is then undone, so that it does not look finished.
bool close_destination(const files& f, std::size_t laid, int& error)
{
    bool bytes = holds_bytes(f.destination_facts);
    error = NO_REASON;
    // Open twice, so that it can still be undone once the close has failed.
    std::FILE* spare = bytes ? duplicate_stream(f.destination, error) : nullptr;
    if (bytes && spare == nullptr) {
        // Without a spare a failed close could not be undone: fail first.
        mark_unfinished(f, f.destination, laid);
        std::fclose(f.destination);
        return false;
    }
    bool closed = std::fclose(f.destination) == 0;
    error = closed ? NO_REASON : last_error();
    if (!closed && spare != nullptr)
        mark_unfinished(f, spare, laid);
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

void undo_failed(const files& f, std::int64_t kept)
{
    // Made by this run, failed before it was written: dated so that make does not take it as done.
    if (f.destination == nullptr && f.made)
        (void)date_file(f.destination_turn, OLDEST_TIME);
    // Until known apart DEST may be an input; once closed it is finished, or undone already.
    if (!f.apart || f.destination == nullptr)
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
    // A device tells of failed writes only when flushed; its head is then zeroed: it cannot shrink.
    if (f.to == writing::device && !flush_to_device(f.destination)) {
        int error = last_error();
        mark_unfinished(f, f.destination, laid);
        return {DESTINATION_UNWRITABLE, error};
    }
    // Inputs lose nothing if their close fails; the destination may.
    std::fclose(f.source);
    // Finished, or about to be closed: a stop leaves DEST be.
    let_dest_be_on_stop();
    int error = NO_REASON;
    bool closed = close_destination(f, laid, error);
    f.destination = nullptr;
    // Its turn ends only once no handle of this run writes it.
    close_file(f.destination_turn);
    f.destination_turn = NO_FILE;
    end_files_under(*f.under);
    std::fclose(f.insert);
    return {closed ? DONE : DESTINATION_UNWRITABLE, error};
}
