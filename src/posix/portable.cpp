// SPDX-License-Identifier: MIT
// Where only POSIX is offered, the destination is opened by its name, and
// compared once open; a file stands on the device of its file system, and
// what a device stands on cannot be told.
#include <sys/stat.h>

#include "system.h"

void follow_device(dev_t device, std::int64_t start, std::int64_t end, storage& under, walk at)
{
    add_place(under, {DISK_DEVICE, static_cast<std::uint64_t>(device)}, start, end, at);
    cannot_follow(under, at);
}

void follow_file(int, const struct stat& info, std::int64_t, std::int64_t, storage& under, walk at)
{
    follow_device(info.st_dev, 0, INT64_MAX, under, within(at));
}

// Only tells what a name is.
looked look_at(const char* path)
{
    looked look = {NO_FILE, facts_of_kind(file_kind::unmeasured), false, false};
    struct stat info;
    if (stat(path, &info) == 0) {
        look.facts = facts_of_kind(kind_of(info));
        look.facts.id = id_of(info);
    }
    return look;
}

opened open_output(const char* path, const looked&, output_open)
{
    return open_by_name(path);
}

bool storage_in_use(int, const file_facts&)
{
    return false;
}

opened claim_device(int fd)
{
    return duplicate_fd(fd);
}
