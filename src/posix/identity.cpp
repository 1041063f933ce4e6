// SPDX-License-Identifier: MIT
// What an open file stands on, followed down as far as the system tells, and whether two open
// files are one.
#include <sys/stat.h>

#include "system.h"

file_id id_of(const struct stat& info)
{
    return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

void add_place(storage& under, file_id id, std::int64_t start, std::int64_t end, walk at)
{
    if (under.count == MOST_PLACES) {
        under.followed = false;
        return;
    }
    under.place[under.count++] = {id, start, end, at.holds};
}

void follow_storage(int fd, const struct stat& info, std::int64_t start, std::int64_t end,
                    storage& under, walk at)
{
    if (S_ISBLK(info.st_mode)) {
        follow_device(info.st_rdev, start, end, under, at);
        return;
    }
    add_place(under, id_of(info), start, end, at);
    if (S_ISREG(info.st_mode) || S_ISDIR(info.st_mode))
        follow_file(fd, info, start, end, under, at);
}

files_under open_files_under(host_file file, bool written)
{
    files_under found = {};
    auto fd = static_cast<int>(file);
    struct stat info;
    if (fstat(fd, &info) != 0 || !(S_ISREG(info.st_mode) || S_ISBLK(info.st_mode)))
        return found;
    storage under = {};
    follow_storage(fd, info, 0, INT64_MAX, under, {0, written, true, &found});
    return found;
}

bool same_file(host_file a, host_file b)
{
    struct stat one;
    struct stat other;
    return fstat(static_cast<int>(a), &one) == 0 && fstat(static_cast<int>(b), &other) == 0 &&
           one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}
