// SPDX-License-Identifier: MIT
// What a file is and what it stands on, as the hosts find it, and the one
// rule (storage.cpp) that tells from it whether two files share any byte.
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

// A stretch of bytes that a file stands on, [start, end): of a file, or of
// a whole disk, whose id is {DISK_DEVICE, its device number}.
struct storage_place {
    file_id id;
    std::int64_t start;
    std::int64_t end;
};
constexpr std::uint64_t DISK_DEVICE = UINT64_MAX;
// Deeper stacks than this are not followed: they count as not followed to the end.
constexpr std::size_t MOST_PLACES = 24;

// Everything an open file stands on, as far as the kernel tells it: the file
// itself, the file in an overlay's layer, a device's stretch of its disk, the
// devices under it and a loop device's file, each followed in turn.
struct storage {
    storage_place place[MOST_PLACES];
    std::size_t count;
    // False when something under the file could not be followed (a probe that
    // could not answer, a file system that may show other files' bytes): then
    // nothing may be written on the guess that it shares no bytes with another.
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
};

// Facts of a kind with nothing else known: no identity, nothing under it.
inline file_facts facts_of_kind(file_kind kind)
{
    file_facts facts = {};
    facts.kind = kind;
    facts.under.followed = true;
    facts.length = -1;
    return facts;
}

// A regular file or a block device: what keeps bytes that runs could mix.
inline bool holds_bytes(const file_facts& facts)
{
    return facts.kind == file_kind::regular || facts.kind == file_kind::block_device;
}

// Whether two files share any byte of what they stand on: the one rule
// (storage.cpp) on the facts that the hosts give.
bool share_storage(const file_facts& a, const file_facts& b);

#endif
