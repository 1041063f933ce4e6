// SPDX-License-Identifier: MIT
// What a block device stands on, on Linux, and whether another device over its bytes is in use.
#include <fcntl.h>
#include <linux/loop.h>
#include <linux/major.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "linux_walk.h"

namespace {

// /sys gives a partition's start and size in these, whatever the disk's blocks.
constexpr std::int64_t SYS_SECTOR = 512;

// A partition's number of sectors in /sys, in bytes; -1 if it cannot be read.
std::int64_t sys_bytes(dev_t device, const char* leaf)
{
    sys_line line = read_sys(device, leaf);
    char* end = nullptr;
    long long sectors = std::strtoll(line.text, &end, DECIMAL);
    if (end == line.text || sectors < 0 || sectors > INT64_MAX / SYS_SECTOR)
        return -1;
    return static_cast<std::int64_t>(sectors) * SYS_SECTOR;
}

// The whole disk a block device belongs to (0 when /sys would not say), and its stretch of it.
struct disk_place {
    dev_t disk;
    std::int64_t start;
    std::int64_t end;
};

disk_place place_on_disk(dev_t device)
{
    if (read_sys(device, "dev").text[0] == '\0')
        return {};
    sys_line partition = read_sys(device, "partition");
    if (partition.text[0] == '\0')
        return partition.error == ENOENT ? disk_place{device, 0, INT64_MAX} : disk_place{};
    dev_t disk = device_named(read_sys(device, "../dev").text);
    std::int64_t start = sys_bytes(device, "start");
    std::int64_t size = sys_bytes(device, "size");
    if (disk == 0 || start < 0 || size < 0)
        return {};
    return {disk, start, start + size};
}

// [start, end) of a stretch, moved by offset; an open end stays open.
std::int64_t moved(std::int64_t at, std::int64_t offset)
{
    return at > INT64_MAX - offset ? INT64_MAX : at + offset;
}

// Follows a loop device's file, as the device tells it on its opened node: another device, or a
// file with what lies under it. The name /sys gives opens the file only when it is still that
// file (the device holds it, so no other file takes its number meanwhile).
void follow_loop(dev_t disk, std::int64_t start, std::int64_t end, storage& under, walk at)
{
    opened node = open_node(disk);
    struct loop_info64 loop = {};
    int error = node.error;
    if (node.file != NO_FILE && ioctl(static_cast<int>(node.file), LOOP_GET_STATUS64, &loop) != 0)
        error = errno;
    close_file(node.file);
    if (error != NO_REASON) {
        // ENXIO: a loop device that shows no file now.
        if (error != ENXIO)
            cannot_follow(under, at);
        return;
    }
    auto offset = static_cast<std::int64_t>(std::min<std::uint64_t>(loop.lo_offset, INT64_MAX));
    auto limit = static_cast<std::int64_t>(std::min<std::uint64_t>(loop.lo_sizelimit, INT64_MAX));
    std::int64_t from = moved(start, offset);
    std::int64_t to = moved(end, offset);
    if (loop.lo_sizelimit != 0)
        to = std::min(to, moved(limit, offset));
    if (loop.lo_rdevice != 0) {
        follow_device(static_cast<dev_t>(loop.lo_rdevice), from, to, under, deeper(at));
        return;
    }
    add_place(under, {loop.lo_device, loop.lo_inode}, from, to, at);
    sys_line name = read_sys(disk, "loop/backing_file");
    int file = name.text[0] == '/' ? open_to_ask(name.text, 0) : -1;
    struct stat info;
    if (file >= 0 && fstat(file, &info) == 0 && S_ISREG(info.st_mode) &&
        id_of(info).device == loop.lo_device && id_of(info).index == loop.lo_inode) {
        keep_file_under(file, at);
        follow_file(file, info, from, to, under, deeper(at));
    } else
        cannot_follow(under, at);
    if (file >= 0)
        close(file);
}

// Whether another device could stand on DEST's bytes: on a file only a
// loop device can; on a device, any but its own disk with its partitions,
// and the disks under it, whose claims the exclusive open of DEST meets.
bool worth_asking(const file_facts& destination, dev_t other, const disk_place& place)
{
    if (destination.kind == file_kind::regular)
        return major(other) == LOOP_MAJOR && place.disk == other;
    for (std::size_t i = 0; i < destination.under.count; ++i) {
        const storage_place& p = destination.under.place[i];
        bool disk = p.holds && p.id.device == DISK_DEVICE;
        // Its own disk is the first place a device stands on.
        if (disk && (p.id.index == other || (i == 0 && p.id.index == place.disk)))
            return false;
    }
    return true;
}

// Whether a loop device may stand on DEST's bytes, as the path of its file
// tells: one naming another regular file is taken at its word, so that no loop
// device is opened (and waited for while another program closes it) for nothing;
// one over a device, deleted, or named in another mount namespace is asked.
bool may_stand_on(dev_t loop, const file_facts& destination)
{
    sys_line name = read_sys(loop, "loop/backing_file");
    if (name.text[0] == '\0')
        return false;
    int file = open(name.text, O_PATH | O_CLOEXEC);
    struct stat info;
    bool other = file >= 0 && fstat(file, &info) == 0 && S_ISREG(info.st_mode);
    for (std::size_t i = 0; other && i < destination.under.count; ++i) {
        const storage_place& p = destination.under.place[i];
        other = !(p.holds && p.id.device == id_of(info).device && p.id.index == id_of(info).index);
    }
    if (file >= 0)
        close(file);
    return !other;
}

// Whether a file is open elsewhere than through fd, as a loop device holds
// its file: the kernel grants a write lease only to the one open of a file.
// A file whose bytes lie in others too (an overlay's) is asked all the same.
bool open_elsewhere(int fd, const file_facts& destination)
{
    std::size_t holding = 0;
    for (std::size_t i = 0; i < destination.under.count; ++i)
        holding += destination.under.place[i].holds ? 1 : 0;
    // Another program's open meanwhile breaks the lease with SIGIO, which must not end the run.
    std::signal(SIGIO, SIG_IGN);
    if (holding != 1 || fcntl(fd, F_SETLEASE, F_WRLCK) != 0)
        return true;
    (void)fcntl(fd, F_SETLEASE, F_UNLCK);
    return false;
}

} // namespace

long follow_listed(const char* directory, storage& under, walk at)
{
    DIR* listed = opendir(directory);
    if (listed == nullptr)
        return -1;
    long count = 0;
    while (const struct dirent* entry = readdir(listed)) {
        if (entry->d_name[0] == '.')
            continue;
        char name[SYS_NAME_SIZE + sizeof entry->d_name];
        std::snprintf(name, sizeof name, "%s/%s/dev", directory, entry->d_name);
        dev_t device = device_named(read_sys_file(name).text);
        if (device == 0)
            cannot_follow(under, at);
        else
            follow_device(device, 0, INT64_MAX, under, at);
        ++count;
    }
    closedir(listed);
    return count;
}

void follow_device(dev_t device, std::int64_t start, std::int64_t end, storage& under, walk at)
{
    disk_place place = at.depth > MOST_DEPTH ? disk_place{} : place_on_disk(device);
    if (place.disk == 0) {
        // A partition of a disk that holds an input must not pass for a disk
        // of its own; nor a cycle, or a stack deeper than any built on purpose.
        add_place(under, {DISK_DEVICE, static_cast<std::uint64_t>(device)}, start, end, at);
        cannot_follow(under, at);
        return;
    }
    std::int64_t from = moved(start, place.start);
    std::int64_t to = std::min(moved(end, place.start), place.end);
    add_place(under, {DISK_DEVICE, static_cast<std::uint64_t>(place.disk)}, from, to, at);
    if (major(place.disk) == LOOP_MAJOR)
        follow_loop(place.disk, from, to, under, at);
    // The devices a device-mapper or md device is built on, followed whole:
    // how it maps them is not told here.
    char slaves[SYS_NAME_SIZE];
    std::snprintf(slaves, sizeof slaves, "/sys/dev/block/%u:%u/slaves", major(place.disk),
                  minor(place.disk));
    if (follow_listed(slaves, under, deeper(at)) < 0 && errno != ENOENT)
        cannot_follow(under, at);
}

bool storage_in_use(int fd, const file_facts& destination)
{
    if (destination.kind == file_kind::regular && !open_elsewhere(fd, destination))
        return false;
    DIR* devices = opendir("/sys/dev/block");
    if (devices == nullptr)
        return false;
    bool in_use = false;
    while (const struct dirent* entry = readdir(devices)) {
        dev_t other = in_use ? 0 : device_named(entry->d_name);
        disk_place place = other == 0 ? disk_place{} : place_on_disk(other);
        if (other == 0 || !worth_asking(destination, other, place) ||
            (major(place.disk) == LOOP_MAJOR && !may_stand_on(place.disk, destination)))
            continue;
        storage under = {};
        follow_device(other, 0, INT64_MAX, under, {1, true, true});
        in_use = share_bytes(destination.under, under) && claim_of(other) == device_claim::held;
    }
    closedir(devices);
    return in_use;
}
