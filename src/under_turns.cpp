// SPDX-License-Identifier: MIT
// Turns on what lies under the run's files: two runs writing one image, one as a file and one
// through a loop device over it, or an overlay file and its layer file, meet there.
#include "files.h"

namespace {

// One turn on a file under a named one: a file reached twice gets one turn, as two opens of it
// would wait for each other. One that a named file holds keeps that turn: a file this run writes
// is refused when an input lies under it, and the other way round, before any turn is taken.
void add_under(turn_list& list, std::size_t named, turn_request wanted)
{
    std::size_t i = 0;
    while (i < list.count && !same_file(list.request[i].file, wanted.file))
        ++i;
    if (i == list.count && list.count < MOST_TURNS)
        list.request[list.count++] = wanted;
    else if (i >= named && i < list.count && wanted.exclusive)
        list.request[i] = wanted;
}

} // namespace

turn_list with_files_under(const turn_request* named, std::size_t count, turns_under& under)
{
    end_files_under(under);
    turn_list list = {};
    for (std::size_t i = 0; i < count && i < MOST_TURNS; ++i)
        list.request[list.count++] = named[i];
    for (std::size_t i = 0; i < count; ++i) {
        files_under found = open_files_under(named[i].file, named[i].exclusive);
        for (std::size_t k = 0; k < found.count; ++k) {
            // Kept open, turned on or not, until the run lets them all go.
            if (under.count == MOST_TURNS) {
                close_file(found.file[k]);
                continue;
            }
            under.file[under.count++] = found.file[k];
            add_under(list, count, {found.file[k], named[i].exclusive});
        }
    }
    return list;
}

void end_files_under(turns_under& under)
{
    for (std::size_t i = 0; i < under.count; ++i)
        close_file(under.file[i]);
    under.count = 0;
}
