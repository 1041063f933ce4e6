// SPDX-License-Identifier: MIT
// How DEST is opened on Linux: looked at before it is opened for writing,
// emptied on overlayfs rather than copied up, and claimed when it is a
// device.
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host.h"
#include "system.h"

namespace {

// Room for "/proc/self/fd/" and any descriptor number.
constexpr std::size_t PROC_FD_NAME_SIZE = 32;

// Opens the very file that the O_PATH descriptor holds, which no name
// swapped in meanwhile can change; errno ENOENT when /proc is missing.
int reopen_probe(int probe, int flags)
{
    char name[PROC_FD_NAME_SIZE];
    std::snprintf(name, sizeof name, "/proc/self/fd/%d", probe);
    return open(name, O_CLOEXEC | flags);
}

// How the destination is to be opened for writing.
enum class reopen { in_place, emptied, claimed, unmeasured };

// An overlayfs file only in a lower layer is copied up to be written, with
// its old bytes unless that same open empties it; they are not wanted, so it
// is emptied. One already in the upper layer is rewritten in place. A block
// device is claimed, as mkfs does: one mounted or held by another run is
// refused.
reopen how_to_reopen(int probe, const struct stat& info)
{
    struct statfs where;
    if (S_ISBLK(info.st_mode))
        return reopen::claimed;
    if (!S_ISREG(info.st_mode))
        return reopen::in_place;
    if (fstatfs(probe, &where) != 0)
        return reopen::unmeasured;
    return where.f_type == OVERLAYFS_SUPER_MAGIC && !in_upper_layer(probe) ? reopen::emptied
                                                                           : reopen::in_place;
}

// Empties the file that probe holds only once this run holds it, through a
// read-only open, which copies nothing up; that open stays until the process
// ends, and the hold with it.
early_open reopen_emptied(int probe, early_open early, progress_line& line)
{
    int holder = reopen_probe(probe, O_RDONLY | O_NONBLOCK);
    hold h = holder >= 0 ? hold_for_run(holder, line) : hold::unheld;
    if (h == hold::failed) {
        close(holder);
        early.verdict = open_verdict::unmeasured;
        return early;
    }
    early.held = h == hold::held;
    early.fd = reopen_probe(probe, O_WRONLY | O_TRUNC);
    return early;
}

// Opens for writing the file that probe holds, unless it is an input.
early_open reopen_unless_input(int probe, const file_facts* inputs, std::size_t count,
                               progress_line& line)
{
    early_open early = {open_verdict::unmeasured, -1, count, false};
    struct stat found;
    if (fstat(probe, &found) != 0)
        return early;
    file_facts named = {};
    named.id = id_of(found);
    early.input = input_index(named, inputs, count);
    if (early.input < count) {
        early.verdict = open_verdict::same_as_input;
        return early;
    }
    reopen how = how_to_reopen(probe, found);
    if (how == reopen::unmeasured)
        return early;
    early.verdict = open_verdict::opened;
    if (how == reopen::emptied)
        return reopen_emptied(probe, early, line);
    early.fd = reopen_probe(probe, O_WRONLY | (how == reopen::claimed ? O_EXCL : 0));
    return early;
}

} // namespace

early_open open_after_look(const char* path, const file_facts* inputs, std::size_t count,
                           progress_line& line)
{
    // Compared before any open for writing, which on overlayfs would copy an
    // input up even when the run is then refused.
    int probe = open(path, O_PATH | O_CLOEXEC);
    if (probe < 0)
        return {open_verdict::opened, -1, count, false};
    early_open early = reopen_unless_input(probe, inputs, count, line);
    int error = errno;
    close(probe);
    // Without /proc the file is opened by its name, and checked as open.
    if (early.verdict == open_verdict::opened && early.fd < 0 && error != ENOENT)
        early.verdict = open_verdict::cannot_open;
    return early;
}
