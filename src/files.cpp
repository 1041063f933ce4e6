// SPDX-License-Identifier: MIT
#include "files.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>

#include "destination.h"
#include "messages.h"
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

bool readable(const file_facts& facts)
{
    return facts.kind != file_kind::unmeasured && facts.kind != file_kind::directory;
}

// A probe that failed is not told apart from the others: no reason line.
int unread_reason(const file_facts& facts)
{
    return facts.kind == file_kind::directory ? REASON_DIRECTORY : NO_REASON;
}

// What DEST is compared with, in this order.
enum compared : std::size_t { SOURCE_INPUT, INSERT_INPUT, REPORT_INPUT, COMPARED };

// Reports why DEST was not opened; nothing of it was written.
[[noreturn]] void refuse(const output& out, const char* name, const char* source_path,
                         const char* destination_path)
{
    if (out.verdict == open_verdict::same_as_input && out.input == REPORT_INPUT)
        same_as_report(name, destination_path, STATUS_NO_DESTINATION);
    if (out.verdict == open_verdict::same_as_input)
        same_file_refused(name, destination_path,
                          out.input == SOURCE_INPUT ? source_path : INSERT_FILE_NAME);
    if (out.verdict == open_verdict::cannot_open)
        cannot_open(name, destination_path, STATUS_NO_DESTINATION, out.error);
    // It could not be told from the inputs: it is left as it is.
    cannot_write(name, destination_path, NO_REASON);
}

// A stream on an input that holds bytes, for runs to take turns on.
std::FILE* turn_stream(std::FILE* stream, const file_facts& facts)
{
    bool holds_bytes = facts.kind == file_kind::regular || facts.kind == file_kind::block_device;
    return holds_bytes ? stream : nullptr;
}

// Standard output is written last, with the report: an input that it shares
// storage with would be spoilt by it.
void compare_with_report(files& f, const char* name, const char* source_path)
{
    f.report_facts = measure_report_output();
    const file_facts inputs[] = {f.insert_facts, f.source_facts};
    std::size_t shared = input_index(f.report_facts, inputs, std::size(inputs));
    if (shared == 0)
        same_as_report(name, INSERT_FILE_NAME, STATUS_NO_INSERT_FILE);
    if (shared == 1)
        same_as_report(name, source_path, STATUS_NO_SOURCE);
}

} // namespace

// Opens IP.BIN and the source, in that order, and measures them.
void open_inputs(files& f, const char* name, const char* source_path)
{
    int error = NO_REASON;
    f.insert = open_input(INSERT_FILE_NAME, error);
    if (f.insert == nullptr)
        cannot_open(name, INSERT_FILE_NAME, STATUS_NO_INSERT_FILE, error);
    f.source = open_input(source_path, error);
    if (f.source == nullptr)
        cannot_open(name, source_path, STATUS_NO_SOURCE, error);
    // Without its identity IP.BIN could be the destination unnoticed; and
    // a directory is known to be unreadable before DEST is touched.
    f.insert_facts = measure_file(f.insert);
    if (!readable(f.insert_facts))
        cannot_read(name, INSERT_FILE_NAME, unread_reason(f.insert_facts));
    f.source_facts = measure_file(f.source);
    if (!readable(f.source_facts))
        cannot_read(name, source_path, unread_reason(f.source_facts));
    compare_with_report(f, name, source_path);
}

// Opens the destination, refusing one that is an input before anything is
// written to it, and measures it.
void open_destination(files& f, const char* name, const char* source_path,
                      const char* destination_path)
{
    // A report written into DEST, or after it into the same pipe, would spoil it.
    if (f.report_facts.kind == file_kind::unmeasured)
        cannot_write(name, destination_path, NO_REASON);
    // Compared with the inputs as open files, so that no name swapped in
    // between can make us write over one of them.
    file_facts inputs[COMPARED] = {};
    inputs[SOURCE_INPUT] = f.source_facts;
    inputs[INSERT_INPUT] = f.insert_facts;
    inputs[REPORT_INPUT] = f.report_facts;
    std::FILE* streams[COMPARED] = {turn_stream(f.source, f.source_facts),
                                    turn_stream(f.insert, f.insert_facts), nullptr};
    output out = open_in_turn(destination_path, {inputs, streams, COMPARED, {}}, *f.line);
    if (out.verdict != open_verdict::opened)
        refuse(out, name, source_path, destination_path);
    f.destination = out.stream;
    f.destination_facts = out.facts;
    // Held now: another run that was writing an input has finished it.
    f.insert_facts = measure_file(f.insert);
    f.source_facts = measure_file(f.source);
    if (!readable(f.insert_facts))
        cannot_read(name, INSERT_FILE_NAME, unread_reason(f.insert_facts));
    if (!readable(f.source_facts))
        cannot_read(name, source_path, unread_reason(f.source_facts));
    // A pipe or a character device holds nothing that an input could show.
    f.apart = f.destination_facts.kind == file_kind::stream ||
              (f.destination_facts.under.followed && f.source_facts.under.followed &&
               f.insert_facts.under.followed);
}

// What the copy depends on, from what was measured before its first byte.
void plan(files& f)
{
    const file_facts& in = f.source_facts;
    const file_facts& out = f.destination_facts;
    f.step = read_step(f.source, in.kind);
    f.to_device = out.kind == file_kind::block_device;
    // Holes can only be left in what can seek.
    f.find_zeros = in.hides_holes && out.kind != file_kind::stream;
    // A pipe, or a file of /proc that says it is empty, tells its length only by running out.
    f.line->total = in.length > 0 ? in.length : -1;
}

// Cuts a regular destination back to what this run wrote before it failed;
// one that could not be measured may be regular too.
void cut_back(const files& f, std::int64_t kept)
{
    if (kept == LEAVE_AS_IS)
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

// One block for IP.BIN's head, the body's buffer and a block of zeros.
unsigned char* take_memory(files& f, const char* name)
{
    std::size_t size = 5 * INSERT_LENGTH + WORK_BUFFER_SIZE + ZERO_BLOCK;
    std::size_t room = size + MEMORY_PAGE;
    void* buffer = std::malloc(room);
    if (buffer == nullptr) {
        cut_back(f, f.apart ? 0 : LEAVE_AS_IS);
        no_buffer(name);
    }
    // On a page, the kernel copies into the buffer and out of it twice as fast.
    void* aligned = buffer;
    f.head = static_cast<unsigned char*>(std::align(MEMORY_PAGE, size, aligned, room));
    f.original = f.head + INSERT_LENGTH;
    f.scratch = f.original + INSERT_LENGTH;
    f.backup = f.scratch + 2 * INSERT_LENGTH;
    f.chunk = f.backup + INSERT_LENGTH;
    f.zeros = f.chunk + WORK_BUFFER_SIZE;
    std::memset(f.zeros, 0, ZERO_BLOCK);
    return static_cast<unsigned char*>(buffer);
}

// Closes the files in their order; only the destination's close can fail.
void close_files(const files& f, std::size_t laid, const char* name,
                 const char* destination_path)
{
    // A device reports its write errors only when asked to flush; its head
    // is then zeroed, as it cannot be emptied.
    if (f.to_device && !flush_to_device(f.destination)) {
        int error = last_error();
        clear_tail(f.destination, 0, static_cast<std::int64_t>(laid));
        (void)flush_to_device(f.destination);
        cannot_write(name, destination_path, error);
    }
    // Inputs lose nothing if their close fails; the destination may.
    std::fclose(f.source);
    release_destination();
    int error = NO_REASON;
    if (!close_destination(f.destination, f.destination_facts.kind, laid, error))
        cannot_write(name, destination_path, error);
    std::fclose(f.insert);
}
