// SPDX-License-Identifier: MIT
// The insertion run: its steps in their order, and its one way out.
#include "run.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "engine.h"
#include "files.h"
#include "talvor.h"

namespace {

// How much one read asks for: a buffer of a file, a quarter of what a pipe holds so both ends work.
std::size_t read_step(std::FILE* source, file_kind kind)
{
    if (kind != file_kind::stream)
        return WORK_BUFFER_SIZE;
    // A failed call only leaves the reads smaller, never the bytes wrong.
    std::size_t pipe = widen_pipe(source, PIPE_SIZE);
    return std::clamp(pipe / 4, STREAM_READ_SIZE, WORK_BUFFER_SIZE);
}

// One block for IP.BIN's head, the body's buffer and zeros.
ended take_memory(files& f)
{
    std::size_t size = 2 * INSERT_LENGTH + WORK_BUFFER_SIZE;
    std::size_t room = size + MEMORY_PAGE;
    f.memory = std::malloc(room);
    if (f.memory == nullptr)
        return {NO_MEMORY, NO_REASON};
    // On a page, the kernel copies into the buffer and out of it twice as fast.
    void* aligned = f.memory;
    f.head = static_cast<unsigned char*>(std::align(MEMORY_PAGE, size, aligned, room));
    f.chunk = f.head + INSERT_LENGTH;
    f.zeros = f.chunk + WORK_BUFFER_SIZE;
    std::memset(f.zeros, 0, INSERT_LENGTH);
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

// Reads IP.BIN's first bytes, as many as it has up to INSERT_LENGTH.
ended read_head(files& f)
{
    f.head_length = std::fread(f.head, 1, INSERT_LENGTH, f.insert);
    if (std::ferror(f.insert))
        return {INSERT_UNREADABLE, last_error()};
    return {DONE, NO_REASON};
}

// The run's steps in their order, each ending it if it fails; reached: DEST's bytes, or those kept.
ended run_steps(files& f, const run_names& names)
{
    ended e = open_inputs(f, names);
    if (e.result != DONE)
        return e;
    if ((e = open_destination(f, names)).result != DONE)
        return e;
    // A device that SOURCE's known length overruns is left untouched.
    if (f.destination_facts.kind == file_kind::block_device &&
        f.source_facts.length > f.destination_facts.length)
        return {DESTINATION_UNWRITABLE, REASON_DEVICE_TOO_SMALL};
    // Until DEST is known to share nothing with the inputs, a stop leaves it be.
    if (f.apart)
        empty_dest_on_stop(f);
    if ((e = take_memory(f)).result != DONE)
        return e;
    plan(f);
    if ((e = read_head(f)).result != DONE)
        return e;
    if ((e = prove_apart(f)).result != DONE)
        return e;
    empty_dest_on_stop(f);
    ended w = write_destination(f);
    if (w.result != DONE)
        return w;
    e = close_files(f, head_within(f, w.reached));
    return {e.result, e.error, w.reached};
}

// The one way out of a run: DEST undone after a failure, the line gone, one message, the status.
[[noreturn]] void end_run(const files& f, const run_names& names, const ended& e)
{
    if (e.result != DONE)
        undo_failed(f, e.reached);
    close_terminal_line();
    // Warned of once the run has succeeded, the line gone, so that none is drawn over them.
    if (e.result == DONE)
        warn_of_mistakes({names, f.safe}, f.head_length, f.insert_facts.length, e.reached);
    // DEST is left as it will stay: a stop while the message waits touches nothing.
    let_dest_be_on_stop();
    std::free(f.memory);
    std::exit(tell_outcome({names, f.safe}, e.result, e.error));
}

} // namespace

void run_insertion(const char* name, const char* source_path, const char* destination_path)
{
    const run_names names = {name, source_path, destination_path};
    progress_line line = {};
    start_progress(line, name, destination_path);
    watch_stops();
    turns_under under = {};
    files f = {};
    f.line = &line;
    f.under = &under;
    end_run(f, names, run_steps(f, names));
}
