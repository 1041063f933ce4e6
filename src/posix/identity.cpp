// SPDX-License-Identifier: MIT
// What an open file stands on, followed down as far as the system tells,
// and which input DEST shares any of it with.
#include <sys/stat.h>

#include "system.h"

file_id id_of(const struct stat& info)
{
    return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

void add_place(storage& under, file_id id, std::int64_t start, std::int64_t end)
{
    if (under.count == MOST_PLACES) {
        under.followed = false;
        return;
    }
    under.place[under.count++] = {id, start, end};
}

void follow_storage(int fd, const struct stat& info, std::int64_t start, std::int64_t end,
                    storage& under, walk at)
{
    // A cycle, or a stack deeper than any built on purpose.
    if (at.depth > MOST_DEPTH) {
        under.followed = false;
        return;
    }
    if (S_ISBLK(info.st_mode)) {
        follow_device(fd, info.st_rdev, start, end, under, at);
        return;
    }
    add_place(under, id_of(info), start, end);
    if (S_ISREG(info.st_mode))
        follow_file(fd, start, end, under, at);
}

std::size_t input_index(const file_facts& file, const file_facts* inputs, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
        if (share_storage(file, inputs[i]))
            return i;
    return count;
}
