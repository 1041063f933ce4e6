// SPDX-License-Identifier: MIT
// When two open files are one: the same file, or bytes that one shows of
// the other, through a loop device, an overlay's layer or a disk's stretch.
#include "system.h"

namespace {

bool same_id(file_id a, file_id b)
{
    return (a.device != 0 || a.index != 0 || a.index_high != 0) && a.device == b.device &&
           a.index == b.index && a.index_high == b.index_high;
}

// Two stretches of one disk that do not meet share nothing, though they
// show the same file.
bool share_bytes(const file_facts& a, const file_facts& b)
{
    const disk_stretch& x = a.stretch;
    const disk_stretch& y = b.stretch;
    if (x.disk != 0 && x.disk == y.disk)
        return x.start < y.end && y.start < x.end;
    return same_id(a.id, b.id) || same_id(a.id, b.backing) || same_id(a.backing, b.id) ||
           same_id(a.backing, b.backing);
}

} // namespace

file_id id_of(const struct stat& info)
{
    return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

std::size_t input_index(const file_facts& file, const file_facts* inputs, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
        if (share_bytes(file, inputs[i]))
            return i;
    return count;
}
