// SPDX-License-Identifier: MIT
// What is known of an open file and what it stands on, found by hosts; storage.cpp compares them.
#ifndef TALVOR_STORAGE_H
#define TALVOR_STORAGE_H

#include <cstddef>
#include <cstdint>

// What a file is, as far as the copy cares.
enum class file_kind {
    unmeasured,   // a probe failed: nothing is known, and the run must stop
    regular,      // has a length, can seek, can be cut
    block_device, // has a length and can seek, but keeps its size
    stream,       // a pipe, terminal, socket or character device: read or written in order
    directory,    // opens, but holds no bytes to read as a file
};

// Which file an open file is, whatever name it was opened by.
struct file_id {
    std::uint64_t device;
    std::uint64_t index;
    std::uint64_t index_high = 0; // where a file system's index takes 128 bits
};
// A device (volume) the host could not tell: ids on it match any device's.
constexpr std::uint64_t UNTOLD_DEVICE = 0;

// A stretch [start, end) a file stands on: of a file, or of a whole disk {DISK_DEVICE, its number}.
struct storage_place {
    file_id id;
    std::int64_t start;
    std::int64_t end;
    // The file's bytes are this stretch; false where they lie somewhere in it, as in the device
    // of the file's file system and what that stands on.
    bool holds = true;
};
constexpr std::uint64_t DISK_DEVICE = UINT64_MAX;
// Deeper stacks than this are not followed: they count as not followed to the end.
constexpr std::size_t MOST_PLACES = 32;

// Everything an open file stands on, as the kernel tells: the file, its overlay layer file, a
// device's stretch of its disk, the devices and loop files under it, a file's file system's device.
struct storage {
    storage_place place[MOST_PLACES];
    std::size_t count;
    // False where its bytes could not be followed to the end (a probe without answer, a file
    // system that may show other files' bytes by this name): then reading must tell it apart.
    bool followed;
};

// What is known of an open file: measured once, before the first write.
struct file_facts {
    file_kind kind;
    file_id id;
    storage under;
    std::int64_t length; // of a regular file or a block device; -1 otherwise
    bool sparse;         // a regular file with fewer blocks than bytes
    bool hides_holes;    // ...on a file system that does not say where they are
    int error;           // why a probe failed, for an unmeasured file
};

// Facts of a kind with nothing else known: no identity, nothing under it.
file_facts facts_of_kind(file_kind kind);

// A regular file or a block device: what keeps bytes that a write could change, and runs mix.
bool holds_bytes(const file_facts& facts);

// Whether writing one of two files may change the other's bytes: one is, or its bytes lie in,
// what the other stands on. Two files that merely stand on one disk are apart.
bool share_storage(const file_facts& a, const file_facts& b);

// Whether the bytes of two files lie in one stretch, as a loop device's over its file.
bool share_bytes(const storage& a, const storage& b);

// Whether file shares no storage with any of others, all under each followed; false if unsure.
bool surely_apart(const file_facts& file, const file_facts* others, std::size_t count);

#endif
