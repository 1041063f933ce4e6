// SPDX-License-Identifier: MIT
// Where only POSIX is offered, the destination is opened by its name, and
// compared once open; a file stands on nothing else that the system tells,
// and what a device stands on cannot be told.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "system.h"

void follow_device(int, dev_t device, std::int64_t start, std::int64_t end, storage& under, walk)
{
    add_place(under, {DISK_DEVICE, static_cast<std::uint64_t>(device)}, start, end);
    under.followed = false;
}

void follow_file(int, std::int64_t, std::int64_t, storage&, walk) {}

// Only tells what a name is: DEST is opened by its name, and compared once open.
looked look_at(const char* path)
{
    looked look = {NO_FILE, facts_of_kind(file_kind::unmeasured), false};
    struct stat info;
    if (stat(path, &info) == 0) {
        look.facts = facts_of_kind(kind_of(info));
        look.facts.id = id_of(info);
    }
    return look;
}

// Never asked: there is no look to open again.
opened reopen_look(int, output_open)
{
    return {NO_FILE, ENOENT, false};
}

bool new_among_devices(const char*)
{
    return false;
}

opened claim_device(int fd, const file_facts&)
{
    return duplicate_fd(fd);
}
