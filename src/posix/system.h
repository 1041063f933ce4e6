// SPDX-License-Identifier: MIT
// What the POSIX host files share: the linux_*.cpp files do it with Linux's
// own calls and files, portable.cpp as any other POSIX system would.
#ifndef TALVOR_POSIX_SYSTEM_H
#define TALVOR_POSIX_SYSTEM_H

#include <sys/stat.h>

#include <cstdint>

#include "host.h"

file_id id_of(const struct stat& info);

// Stacks deeper than this (or a cycle) are not followed to their end.
constexpr int MOST_DEPTH = 12;

// How far down a walk of storage is, and what for: writing copies an overlay
// file up, so its lower layers do not count; below the device of a file's
// file system, places hold its bytes only somewhere in them.
struct walk {
    int depth;
    bool writing;
    bool holds;
    files_under* keep = nullptr; // where the files met under it are kept open for turns
};
inline walk deeper(walk at)
{
    return {at.depth + 1, at.writing, at.holds, at.keep};
}
inline walk within(walk at)
{
    return {at.depth + 1, at.writing, false, at.keep};
}

// Something not followed leaves unsure where a file's bytes lie; below the
// device of its file system, out of reach of any reading too, it is let be.
inline void cannot_follow(storage& under, walk at)
{
    under.followed = under.followed && !at.holds;
}

// Adds [start, end) of id to what a file stands on; without room, the
// storage counts as not followed.
void add_place(storage& under, file_id id, std::int64_t start, std::int64_t end, walk at);

// Adds what the open file fd stands on, for its bytes [start, end): itself,
// and below it what the system tells; a directory, for the files made in it.
void follow_storage(int fd, const struct stat& info, std::int64_t start, std::int64_t end,
                    storage& under, walk at);

// What lies under a block device's stretch [start, end): its disk, the
// devices under that, a loop device's file.
void follow_device(dev_t device, std::int64_t start, std::int64_t end, storage& under, walk at);

// What lies under a regular file or a directory: on an overlay, the files in
// its layers; elsewhere its file system's device, and what that stands on;
// where other files' bytes may show (network, FUSE), something not followed.
void follow_file(int fd, const struct stat& info, std::int64_t start, std::int64_t end,
                 storage& under, walk at);

file_kind kind_of(const struct stat& info);

// A second descriptor of fd's open file, closed on exec.
opened duplicate_fd(int fd);

// Opens DEST by its name for writing, making it where it is absent, which
// made then says; a file or a device for reading too, where it lets itself.
opened open_by_name(const char* path);

// The device that fd holds, opened again for this run alone as mkfs claims
// it: refused when it is mounted or held by another program.
opened claim_device(int fd);

// Whether another block device over the bytes of DEST, open as fd, is mounted
// or claimed: writing under it would ruin what it holds.
bool storage_in_use(int fd, const file_facts& destination);

// Whether the overlayfs file that fd holds is known to be in its upper
// layer already (yes), known to be only in a lower one (no), or neither.
enum class upper_layer { yes, no, unknown };
upper_layer in_upper_layer(int fd);

#endif
