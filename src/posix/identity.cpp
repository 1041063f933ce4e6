// SPDX-License-Identifier: MIT
// What an open file stands on, followed down as far as the system tells,
// and what the standard streams are.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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

bool same_file(host_file a, host_file b)
{
    struct stat one;
    struct stat other;
    return fstat(static_cast<int>(a), &one) == 0 && fstat(static_cast<int>(b), &other) == 0 &&
           one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

file_facts measure_standard(standard_stream which)
{
    int fd = which == standard_stream::output ? STDOUT_FILENO : STDERR_FILENO;
    struct stat info;
    if (fstat(fd, &info) != 0) {
        // Closed: what goes there goes nowhere, so no file can be spoilt by it.
        return facts_of_kind(errno == EBADF ? file_kind::stream : file_kind::unmeasured);
    }
    if (S_ISCHR(info.st_mode))
        return facts_of_kind(file_kind::stream);
    return measure_descriptor(fd, true);
}
