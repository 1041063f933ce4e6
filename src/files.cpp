// SPDX-License-Identifier: MIT
#include "files.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>

#include "destination.h"
#include "talvor.h"

namespace {

// How much one read asks for: a file is read a buffer at a time, a pipe a
// quarter of what it holds, so that both ends keep busy.
std::size_t read_step(std::FILE* source, file_kind kind)
{
    if (kind != file_kind::stream)
        return WORK_BUFFER_SIZE;
    // A failed call only leaves the reads smaller, never the bytes wrong.
    std::size_t pipe = widen_pipe(source, PIPE_SIZE);
    return std::clamp(pipe / 4, STREAM_READ_SIZE, WORK_BUFFER_SIZE);
}

bool readable(const file_facts& facts)
{
    return facts.kind != file_kind::unmeasured && facts.kind != file_kind::directory;
}

// Why an input cannot be read: a directory, or the probe that failed.
int unread_reason(const file_facts& facts)
{
    return facts.kind == file_kind::directory ? REASON_DIRECTORY : facts.error;
}

// What DEST is compared with, in this order.
enum compared : std::size_t { SOURCE_INPUT, INSERT_INPUT, REPORT_INPUT, COMPARED };

// Why DEST was not opened; nothing of it was written.
ended refusal(const output& out)
{
    if (out.verdict == open_verdict::same_as_input && out.input == REPORT_INPUT)
        return {DESTINATION_IS_REPORT, NO_REASON};
    if (out.verdict == open_verdict::same_as_input)
        return {out.input == SOURCE_INPUT ? DESTINATION_IS_SOURCE : DESTINATION_IS_INSERT,
                REASON_SAME_STORAGE};
    if (out.verdict == open_verdict::cannot_open)
        return {DESTINATION_UNOPENED, out.error};
    // It could not be told from the inputs: it is left as it is.
    return {DESTINATION_UNWRITABLE, out.error};
}

// A stream on an input that holds bytes, for runs to take turns on.
std::FILE* turn_stream(std::FILE* stream, const file_facts& facts)
{
    return holds_bytes(facts.kind) ? stream : nullptr;
}

// Standard output is written last, with the report: an input that it shares
// storage with would be spoilt by it.
ended compare_with_report(files& f)
{
    f.report_facts = measure_report_output();
    const file_facts inputs[] = {f.insert_facts, f.source_facts};
    std::size_t shared = input_index(f.report_facts, inputs, std::size(inputs));
    if (shared == 0)
        return {INSERT_IS_REPORT, NO_REASON};
    if (shared == 1)
        return {SOURCE_IS_REPORT, NO_REASON};
    return {DONE, NO_REASON};
}

// Both inputs measured again, with what could not be read first.
ended measure_inputs(files& f)
{
    f.insert_facts = measure_file(f.insert);
    if (!readable(f.insert_facts))
        return {INSERT_UNREADABLE, unread_reason(f.insert_facts)};
    f.source_facts = measure_file(f.source);
    if (!readable(f.source_facts))
        return {SOURCE_UNREADABLE, unread_reason(f.source_facts)};
    return {DONE, NO_REASON};
}

} // namespace

ended open_inputs(files& f, const run_names& names)
{
    int error = NO_REASON;
    f.insert = open_input(INSERT_FILE_NAME, error);
    if (f.insert == nullptr)
        return {INSERT_UNOPENED, error};
    f.source = open_input(names.source, error);
    if (f.source == nullptr)
        return {SOURCE_UNOPENED, error};
    // Without its identity IP.BIN could be the destination unnoticed; and
    // a directory is known to be unreadable before DEST is touched.
    ended measured = measure_inputs(f);
    return measured.result != DONE ? measured : compare_with_report(f);
}

ended open_destination(files& f, const run_names& names)
{
    // A report written into DEST, or after it into the same pipe, would spoil it.
    if (f.report_facts.kind == file_kind::unmeasured)
        return {DESTINATION_UNWRITABLE, f.report_facts.error};
    // Compared with the inputs as open files, so that no name swapped in
    // between can make us write over one of them.
    file_facts inputs[COMPARED] = {};
    inputs[SOURCE_INPUT] = f.source_facts;
    inputs[INSERT_INPUT] = f.insert_facts;
    inputs[REPORT_INPUT] = f.report_facts;
    std::FILE* streams[COMPARED] = {turn_stream(f.source, f.source_facts),
                                    turn_stream(f.insert, f.insert_facts), nullptr};
    output out = open_in_turn(names.destination, {inputs, streams, COMPARED, {}}, *f.line);
    if (out.verdict != open_verdict::opened)
        return refusal(out);
    f.destination = out.stream;
    f.destination_facts = out.facts;
    // Held now: another run that was writing an input has finished it.
    ended measured = measure_inputs(f);
    if (measured.result != DONE)
        return measured;
    // A pipe or a character device holds nothing that an input could show,
    // nor does a file this run made; the rest is known apart only where
    // everything under it and the inputs was followed to its end.
    const file_facts both[] = {f.source_facts, f.insert_facts};
    f.apart = f.destination_facts.kind == file_kind::stream || out.created ||
              surely_apart(f.destination_facts, both, std::size(both));
    return {DONE, NO_REASON};
}

// What the copy depends on, from what was measured before its first byte.
void plan(files& f)
{
    const file_facts& in = f.source_facts;
    const file_facts& out = f.destination_facts;
    f.step = read_step(f.source, in.kind);
    f.to = out.kind == file_kind::stream         ? writing::stream
           : out.kind == file_kind::block_device ? writing::device
                                                 : writing::file;
    // Holes can only be left in what can seek.
    f.find_zeros = in.hides_holes && out.kind != file_kind::stream;
    // A pipe, or a file of /proc that says it is empty, tells its length only by running out.
    f.line->total = in.length > 0 ? in.length : -1;
}

// Cuts a regular destination back to what this run wrote before it failed;
// one that could not be measured may be regular too.
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
        (void)clear_tail(f.destination, kept, now);
}

// One block for IP.BIN's head, the source's, the body's buffer and zeros.
ended take_memory(files& f)
{
    std::size_t size = 3 * INSERT_LENGTH + WORK_BUFFER_SIZE;
    std::size_t room = size + MEMORY_PAGE;
    f.memory = std::malloc(room);
    if (f.memory == nullptr)
        return {NO_MEMORY, NO_REASON};
    // On a page, the kernel copies into the buffer and out of it twice as fast.
    void* aligned = f.memory;
    f.head = static_cast<unsigned char*>(std::align(MEMORY_PAGE, size, aligned, room));
    f.original = f.head + INSERT_LENGTH;
    f.chunk = f.original + INSERT_LENGTH;
    f.zeros = f.chunk + WORK_BUFFER_SIZE;
    std::memset(f.zeros, 0, INSERT_LENGTH);
    return {DONE, NO_REASON};
}

// Closes the files in their order; only the destination's close can fail.
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
    release_destination();
    int error = NO_REASON;
    bool closed = close_destination(f.destination, f.destination_facts.kind, laid, error);
    f.destination = nullptr;
    std::fclose(f.insert);
    return {closed ? DONE : DESTINATION_UNWRITABLE, error};
}
