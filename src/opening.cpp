// SPDX-License-Identifier: MIT
// The run's files opened and held in one order on every host: inputs and standard output measured,
// DEST compared as an open file, all turns or none, all compared again, then DEST opened to write.
#include <iterator>

#include "files.h"
#include "talvor.h"

namespace {

// What DEST is compared with, in this order.
enum compared : std::size_t { SOURCE_INPUT, INSERT_INPUT, REPORT_INPUT, COMPARED };

// How often a run tries again for a turn another run holds, where it shows it waits or looks again.
constexpr std::int64_t TURN_RETRY_MS = 100;

// Whether DEST, as a look or an open found it, may be written for this run; an open one is also
// compared as the system tells of open files, where ids may not tell (Windows).
ended compare_destination(const files& f, const file_facts& facts, host_file open = NO_FILE)
{
    // It could not be told from the inputs: it is left as it is.
    if (facts.kind == file_kind::unmeasured)
        return {DESTINATION_UNWRITABLE, facts.error};
    const file_facts others[COMPARED] = {f.source_facts, f.insert_facts, f.report_facts};
    constexpr outcome refused[COMPARED] = {DESTINATION_IS_SOURCE, DESTINATION_IS_INSERT,
                                           DESTINATION_IS_REPORT};
    for (std::size_t i = 0; i < COMPARED; ++i)
        if (share_storage(facts, others[i]))
            return {refused[i], i == REPORT_INPUT ? NO_REASON : REASON_SAME_STORAGE};
    if (open != NO_FILE && holds_bytes(f.source_facts) && same_file(file_of(f.source), open))
        return {DESTINATION_IS_SOURCE, REASON_SAME_STORAGE};
    if (open != NO_FILE && holds_bytes(f.insert_facts) && same_file(file_of(f.insert), open))
        return {DESTINATION_IS_INSERT, REASON_SAME_STORAGE};
    return {DONE, NO_REASON};
}

// Waits for a turn another run holds; on a terminal it keeps trying, for the line to say it waits.
turn wait_turn(const turn_request& request, progress_line& line)
{
    while (line.on_terminal) {
        turn t = try_turn(request);
        if (t != turn::busy)
            return t;
        count_waiting(line);
        sleep_ms(TURN_RETRY_MS);
    }
    return wait_for_turn(request);
}

void end_turns(const turn_request* requests, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
        end_turn(requests[i]);
}

// Takes every turn or none: one that another run holds is waited for while holding no other, so
// that runs waiting on each other's files never wait forever. A refused turn's error is the lock's.
ended take_turns(const turn_request* requests, std::size_t count, progress_line& line)
{
    for (;;) {
        std::size_t taken = 0;
        turn t = turn::held;
        while (taken < count && (t = try_turn(requests[taken])) == turn::held)
            ++taken;
        if (t == turn::failed)
            return {DESTINATION_UNWRITABLE, last_error()};
        if (taken == count)
            return {DONE, NO_REASON};
        end_turns(requests, taken);
        t = wait_turn(requests[taken], line);
        if (t == turn::failed)
            return {DESTINATION_UNWRITABLE, last_error()};
        // A lone turn waited for is every turn there was.
        if (count == 1)
            return {DONE, NO_REASON};
        end_turn(requests[taken]);
    }
}

// The inputs' turns, shared, for those that hold bytes; room for DEST's after.
std::size_t input_turns(const files& f, turn_request (&turns)[COMPARED])
{
    std::size_t count = 0;
    if (holds_bytes(f.source_facts))
        turns[count++] = {file_of(f.source), false};
    if (holds_bytes(f.insert_facts))
        turns[count++] = {file_of(f.insert), false};
    return count;
}

// DEST opened and held with the inputs, or why not.
struct held {
    ended end;
    host_file file; // what holds DEST's turn
    bool again;     // another run came in between: look again
    bool made;      // the open made DEST, or emptied it
};

// An overlayfs file only in a lower layer is copied up, old bytes and all, unless the open that
// copies it empties it: so it is emptied there, while this run holds the inputs and a reading open
// of it that no other run has a turn on. Another run's turn in between sends the open round again.
held empty_in_turn(const files& f, const char* path, const looked& look, host_file reader)
{
    turn_request turns[COMPARED];
    std::size_t count = input_turns(f, turns);
    turns[count] = {reader, false};
    turn_list all = with_files_under(turns, count + 1, *f.under);
    held h = {take_turns(all.request, all.count, *f.line), NO_FILE, false, false};
    if (h.end.result != DONE) {
        close_file(reader);
        return h;
    }
    h.again = turn_taken(reader);
    opened out = {NO_FILE, NO_REASON, false};
    if (!h.again)
        out = open_output(path, look, output_open::emptied);
    end_turn(turns[count]);
    close_file(reader);
    if (out.file != NO_FILE && try_turn({out.file, true}) == turn::held)
        return {{DONE, NO_REASON}, out.file, false, out.made};
    end_turns(turns, count);
    end_files_under(*f.under);
    if (out.file != NO_FILE)
        close_file(out.file);
    h.again = h.again || out.file != NO_FILE;
    if (h.again)
        sleep_ms(TURN_RETRY_MS);
    else
        h.end = {DESTINATION_UNOPENED, out.error};
    return h;
}

// Opens DEST from the look, or by its name, and takes the run's turns.
held open_in_turn(const files& f, const char* path, const looked& look)
{
    opened reader = {NO_FILE, NO_REASON, false};
    const file_facts others[] = {f.source_facts, f.insert_facts, f.report_facts};
    if (look.lower_layer_only && surely_apart(look.facts, others, std::size(others)))
        reader = open_output(path, look, output_open::reader);
    if (reader.file != NO_FILE)
        return empty_in_turn(f, path, look, reader.file);
    opened out = open_output(path, look, output_open::in_place);
    if (out.file == NO_FILE)
        return {{DESTINATION_UNOPENED, out.error}, NO_FILE, false, false};
    // Compared as open: a name swapped in after the look may be an input, which this open did not
    // cut, and whose turn this run would wait for.
    file_facts facts = measure_file(out.file, true);
    held h = {compare_destination(f, facts, out.file), out.file, false, out.made};
    turn_request turns[COMPARED];
    std::size_t count = input_turns(f, turns);
    // A pipe or a character device keeps no bytes for two runs to mix.
    if (holds_bytes(facts))
        turns[count++] = {out.file, true};
    if (h.end.result == DONE) {
        turn_list all = with_files_under(turns, count, *f.under);
        h.end = take_turns(all.request, all.count, *f.line);
    }
    if (h.end.result != DONE) {
        // Made by this open, it is dated so that make does not take it for done.
        if (out.made)
            (void)date_file(out.file, OLDEST_TIME);
        close_file(out.file);
        h.file = NO_FILE;
    }
    return h;
}

// An input measured, or why it cannot be read: a directory, or the probe that failed.
ended measure_input(std::FILE* input, file_facts& facts, outcome unreadable)
{
    facts = measure_file(file_of(input), false);
    if (facts.kind == file_kind::directory)
        return {unreadable, REASON_DIRECTORY};
    if (facts.kind == file_kind::unmeasured)
        return {unreadable, facts.error};
    return {DONE, NO_REASON};
}

// Both inputs measured, IP.BIN first.
ended measure_inputs(files& f)
{
    ended e = measure_input(f.insert, f.insert_facts, INSERT_UNREADABLE);
    return e.result != DONE ? e : measure_input(f.source, f.source_facts, SOURCE_UNREADABLE);
}

// Held from other runs, the inputs are kept from other programs' writes too where the host can.
ended keep_inputs_from_writers(files& f, const run_names& names)
{
    int error = NO_REASON;
    if (holds_bytes(f.insert_facts) && !keep_writers_off(f.insert, error))
        return unopened(f, INSERT_FILE_NAME, {INSERT_UNOPENED, error}, INSERT_IS_REPORT);
    if (holds_bytes(f.source_facts) && !keep_writers_off(f.source, error))
        return unopened(f, names.source, {SOURCE_UNOPENED, error}, SOURCE_IS_REPORT);
    return {DONE, NO_REASON};
}

// DEST opened, compared with the inputs before and after it is held with them, then for writing.
ended open_and_hold(files& f, const run_names& names)
{
    // A report written into DEST, or after it into the same pipe, would spoil it.
    if (f.report_facts.kind == file_kind::unmeasured)
        return {DESTINATION_UNWRITABLE, f.report_facts.error};
    held h = {};
    do {
        // Looked at first where the host can: on overlayfs an open to write copies an input up.
        looked look = look_at(names.destination);
        h = {{DONE, NO_REASON}, NO_FILE, false, false};
        if (look.file != NO_FILE)
            h.end = compare_destination(f, look.facts);
        if (h.end.result == DONE)
            h = open_in_turn(f, names.destination, look);
        close_file(look.file);
    } while (h.again);
    if (h.end.result != DONE)
        return h.end;
    f.destination_turn = h.file;
    f.made = h.made;
    // Held now: what another run left is what this one measures.
    f.destination_facts = measure_file(h.file, true);
    f.left_time = h.made ? OLDEST_TIME : written_at(h.file);
    mute_streams_on(f, f.destination_facts);
    ended e = compare_destination(f, f.destination_facts);
    if (e.result == DONE)
        e = measure_inputs(f);
    if (e.result == DONE)
        e = keep_inputs_from_writers(f, names);
    if (e.result != DONE)
        return e;
    int error = NO_REASON;
    f.destination = open_writer(h.file, f.destination_facts, error);
    if (f.destination == nullptr)
        return {DESTINATION_UNOPENED, error};
    // A pipe, a character device or a file this run made holds nothing an input could show; the
    // rest is known apart only where everything under it and the inputs was followed to its end.
    const file_facts inputs[] = {f.source_facts, f.insert_facts};
    f.apart = f.destination_facts.kind == file_kind::stream || f.made ||
              surely_apart(f.destination_facts, inputs, std::size(inputs));
    return {DONE, NO_REASON};
}

} // namespace

ended open_inputs(files& f, const run_names& names)
{
    measure_streams(f);
    int error = NO_REASON;
    f.insert = open_input(INSERT_FILE_NAME, error);
    if (f.insert == nullptr)
        return unopened(f, INSERT_FILE_NAME, {INSERT_UNOPENED, error}, INSERT_IS_REPORT);
    f.source = open_input(names.source, error);
    if (f.source == nullptr)
        return unopened(f, names.source, {SOURCE_UNOPENED, error}, SOURCE_IS_REPORT);
    // Unmeasured, IP.BIN could be DEST unnoticed; a directory is refused before DEST is touched.
    ended measured = measure_inputs(f);
    return measured.result != DONE ? measured : compare_with_streams(f);
}

ended open_destination(files& f, const run_names& names)
{
    ended e = open_and_hold(f, names);
    // Standard output on DEST, and standard error with it, are written no more.
    if (e.result == DESTINATION_IS_REPORT)
        mute_streams_on(f, f.report_facts);
    if (e.result == DESTINATION_UNOPENED)
        return unopened(f, names.destination, e, DESTINATION_IS_REPORT);
    return e;
}
