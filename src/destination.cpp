// SPDX-License-Identifier: MIT
#include "destination.h"

#include <algorithm>

#include "engine.h"
#include "talvor.h"

namespace {

// Waits for a turn that another run holds; on a terminal it keeps trying,
// so that the line can say that it waits.
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

// What taking turns works with: the line that tells a wait, and why a turn
// could not be taken, taken at the failed call.
struct turns_taken {
    progress_line* line;
    int error;
};

turn take_turns(void* context, const turn_request* requests, std::size_t count)
{
    turns_taken& taking = *static_cast<turns_taken*>(context);
    for (;;) {
        std::size_t taken = 0;
        turn t = turn::held;
        while (taken < count && (t = try_turn(requests[taken])) == turn::held)
            ++taken;
        if (t == turn::failed)
            taking.error = last_error();
        if (taken == count)
            return turn::held;
        for (std::size_t k = 0; k < taken; ++k)
            end_turn(requests[k]);
        if (t == turn::failed)
            return t;
        // Holding nothing else, so that no two runs ever wait on each other.
        t = wait_turn(requests[taken], *taking.line);
        if (t == turn::failed)
            taking.error = last_error();
        // A lone turn waited for is every turn there was.
        if (t != turn::held || count == 1)
            return t;
        end_turn(requests[taken]);
    }
}

} // namespace

void unfinish(std::FILE* destination, file_kind kind, std::size_t laid)
{
    if (kind == file_kind::regular) {
        (void)set_length(destination, 0);
        return;
    }
    (void)clear_tail(destination, 0, static_cast<std::int64_t>(laid));
    (void)flush_to_device(destination);
}

output open_in_turn(const char* path, output_request request, progress_line& line)
{
    turns_taken taking = {&line, NO_REASON};
    request.turns = {take_turns, &taking};
    output out = open_output(path, request);
    // A turn that could not be taken left DEST unmeasured: that is why.
    if (out.verdict == open_verdict::unmeasured && out.error == NO_REASON)
        out.error = taking.error;
    return out;
}

bool close_destination(std::FILE* destination, file_kind kind, std::size_t laid, int& error)
{
    bool bytes = holds_bytes(kind);
    error = NO_REASON;
    // Open twice, so that it can still be undone once the close has failed.
    std::FILE* spare = bytes ? duplicate_stream(destination, error) : nullptr;
    if (bytes && spare == nullptr) {
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
