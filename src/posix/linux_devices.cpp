// SPDX-License-Identifier: MIT
// What a block device stands on, on Linux: its stretch of a whole disk, the
// devices that disk is built on, and a loop device's file, each followed in
// turn, as /sys and the devices tell; and whether another device over the
// same storage is in use.
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
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "system.h"

namespace {

// Room for "/sys/dev/block/MAJOR:MINOR/../dev" and any device number.
constexpr std::size_t SYS_NAME_SIZE = 128;
constexpr int DECIMAL = 10;
// Room for a line of /sys: a number, or MAJOR:MINOR.
constexpr std::size_t SYS_TEXT_SIZE = 32;
// /sys gives a partition's start and size in these, whatever the disk's blocks.
constexpr std::int64_t SYS_SECTOR = 512;

// The first line of one of the device's files in /sys, or "" when it
// cannot be read, with error why: ENOENT when the file is not there.
struct sys_line {
    char text[SYS_TEXT_SIZE];
    int error;
};

sys_line read_sys(dev_t device, const char* leaf)
{
    sys_line line = {};
    char name[SYS_NAME_SIZE];
    std::snprintf(name, sizeof name, "/sys/dev/block/%u:%u/%s", major(device), minor(device), leaf);
    int fd = open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        line.error = errno;
        return line;
    }
    ssize_t n = read(fd, line.text, sizeof line.text - 1);
    // An empty file tells nothing either.
    int error = n < 0 ? errno : EIO;
    close(fd);
    if (n <= 0) {
        line.text[0] = '\0';
        line.error = error;
    }
    return line;
}

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

// The device that MAJOR:MINOR names; 0, which names none, if it does not.
dev_t device_named(const char* text)
{
    char* colon = nullptr;
    unsigned long major_number = std::strtoul(text, &colon, DECIMAL);
    if (colon == text || *colon != ':')
        return 0;
    char* end = nullptr;
    unsigned long minor_number = std::strtoul(colon + 1, &end, DECIMAL);
    if (end == colon + 1)
        return 0;
    return makedev(static_cast<unsigned>(major_number), static_cast<unsigned>(minor_number));
}

// The device that a MAJOR:MINOR line in /sys names; 0, which names none, if
// it cannot be read.
dev_t sys_device(dev_t device, const char* leaf)
{
    return device_named(read_sys(device, leaf).text);
}

// The whole disk that a block device belongs to, and its stretch of it.
struct disk_place {
    bool told; // false when /sys would not say
    dev_t disk;
    std::int64_t start;
    std::int64_t end;
};

disk_place place_on_disk(dev_t device)
{
    disk_place none = {false, 0, 0, 0};
    if (read_sys(device, "dev").text[0] == '\0')
        return none;
    sys_line partition = read_sys(device, "partition");
    if (partition.text[0] == '\0')
        return partition.error == ENOENT ? disk_place{true, device, 0, INT64_MAX} : none;
    dev_t disk = sys_device(device, "../dev");
    std::int64_t start = sys_bytes(device, "start");
    std::int64_t size = sys_bytes(device, "size");
    if (disk == 0 || start < 0 || size < 0)
        return none;
    return {true, disk, start, start + size};
}

// [start, end) of a stretch, moved by offset; an open end stays open.
std::int64_t moved(std::int64_t at, std::int64_t offset)
{
    return at > INT64_MAX - offset ? INT64_MAX : at + offset;
}

// Where a loop device's file lies, by /sys, which answers anyone; the
// device itself, where fd can ask it, says which file that is.
struct loop_file {
    bool bound;
    bool known; // the device said which file it shows
    file_id id;
    std::int64_t offset;
    char path[PATH_MAX];
};

loop_file loop_of(int fd, dev_t disk)
{
    loop_file loop = {};
    struct loop_info64 info;
    if (fd >= 0 && ioctl(fd, LOOP_GET_STATUS64, &info) == 0) {
        loop.known = true;
        loop.id = {info.lo_device, info.lo_inode};
    }
    char name[SYS_NAME_SIZE];
    std::snprintf(name, sizeof name, "/sys/dev/block/%u:%u/loop/backing_file", major(disk),
                  minor(disk));
    int file = open(name, O_RDONLY | O_CLOEXEC);
    if (file < 0)
        return loop; // a loop device that shows no file now
    ssize_t n = read(file, loop.path, sizeof loop.path - 1);
    close(file);
    loop.bound = true;
    if (n <= 0)
        loop.path[0] = '\0';
    else
        loop.path[n - 1 + (loop.path[n - 1] != '\n')] = '\0';
    sys_line offset = read_sys(disk, "loop/offset");
    loop.offset = std::strtoll(offset.text, nullptr, DECIMAL);
    return loop;
}

// Follows a loop device's file, which may itself be a device, an overlay
// file, or another loop device's.
void follow_loop(int fd, dev_t disk, std::int64_t start, std::int64_t end, storage& under,
                 walk at)
{
    loop_file loop = loop_of(fd, disk);
    if (!loop.bound)
        return;
    std::int64_t from = moved(start, loop.offset);
    std::int64_t to = moved(end, loop.offset);
    if (loop.known)
        add_place(under, loop.id, from, to);
    // Named as the process that set it up saw it: a name that now shows
    // another file, or none, is followed no further.
    int file = loop.path[0] == '/' ? open(loop.path, O_PATH | O_CLOEXEC) : -1;
    struct stat info;
    bool same = file >= 0 && fstat(file, &info) == 0 &&
                (!loop.known || (id_of(info).device == loop.id.device &&
                                 id_of(info).index == loop.id.index));
    if (same)
        follow_storage(file, info, from, to, under, deeper(at));
    else
        under.followed = false;
    if (file >= 0)
        close(file);
}

// Follows each device that a device-mapper or md device is built on, whole:
// how it maps them is not told here.
void follow_slaves(dev_t disk, storage& under, walk at)
{
    char name[SYS_NAME_SIZE];
    std::snprintf(name, sizeof name, "/sys/dev/block/%u:%u/slaves", major(disk), minor(disk));
    DIR* slaves = opendir(name);
    if (slaves == nullptr) {
        under.followed = under.followed && errno == ENOENT;
        return;
    }
    while (const struct dirent* entry = readdir(slaves)) {
        if (entry->d_name[0] == '.')
            continue;
        char leaf[SYS_NAME_SIZE + sizeof entry->d_name];
        std::snprintf(leaf, sizeof leaf, "slaves/%s/dev", entry->d_name);
        dev_t slave = sys_device(disk, leaf);
        if (slave == 0)
            under.followed = false;
        else
            follow_device(-1, slave, 0, INT64_MAX, under, deeper(at));
    }
    closedir(slaves);
}

// The node of a device, by the name /sys gives it; "" when it tells none.
struct node_name {
    char path[SYS_NAME_SIZE + NAME_MAX];
};

node_name node_of(dev_t device)
{
    static constexpr char KEY[] = "DEVNAME=";
    node_name node = {};
    char name[SYS_NAME_SIZE];
    std::snprintf(name, sizeof name, "/sys/dev/block/%u:%u/uevent", major(device), minor(device));
    std::FILE* uevent = std::fopen(name, "re");
    char line[NAME_MAX + sizeof KEY];
    while (uevent != nullptr && std::fgets(line, sizeof line, uevent) != nullptr) {
        if (std::strncmp(line, KEY, sizeof KEY - 1) != 0)
            continue;
        line[std::strcspn(line, "\n")] = '\0';
        std::snprintf(node.path, sizeof node.path, "/dev/%s", line + sizeof KEY - 1);
        break;
    }
    if (uevent != nullptr)
        std::fclose(uevent);
    return node;
}

// Mounted, or held by another program: an exclusive open says so at once.
bool claimed(dev_t device)
{
    node_name node = node_of(device);
    if (node.path[0] == '\0')
        return false;
    int fd = open(node.path, O_RDONLY | O_EXCL | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0)
        close(fd);
    return fd < 0 && errno == EBUSY;
}

// Whether the device's own disk, or one it is built on, is id.
bool under_or_same_disk(const file_facts& device, dev_t disk, dev_t other)
{
    if (place_on_disk(other).disk == disk)
        return true;
    for (std::size_t i = 0; i < device.under.count; ++i) {
        const file_id& id = device.under.place[i].id;
        if (id.device == DISK_DEVICE && id.index == static_cast<std::uint64_t>(other))
            return true;
    }
    return false;
}

} // namespace

void follow_device(int fd, dev_t device, std::int64_t start, std::int64_t end, storage& under,
                   walk at)
{
    disk_place place = place_on_disk(device);
    if (!place.told) {
        // A partition of a disk that holds an input must not pass for a disk of its own.
        add_place(under, {DISK_DEVICE, static_cast<std::uint64_t>(device)}, start, end);
        under.followed = false;
        return;
    }
    std::int64_t from = moved(start, place.start);
    std::int64_t to = std::min(moved(end, place.start), place.end);
    add_place(under, {DISK_DEVICE, static_cast<std::uint64_t>(place.disk)}, from, to);
    if (major(place.disk) == LOOP_MAJOR)
        follow_loop(fd, place.disk, from, to, under, at);
    follow_slaves(place.disk, under, at);
}

bool storage_in_use(const file_facts& device)
{
    if (device.under.count == 0)
        return false;
    auto disk = static_cast<dev_t>(device.under.place[0].id.index);
    DIR* devices = opendir("/sys/dev/block");
    if (devices == nullptr)
        return false;
    bool in_use = false;
    while (const struct dirent* entry = readdir(devices)) {
        dev_t other = in_use ? 0 : device_named(entry->d_name);
        if (other == 0)
            continue;
        // Its own disk's claims the exclusive open of DEST already meets.
        if (under_or_same_disk(device, disk, other))
            continue;
        file_facts facts = facts_of_kind(file_kind::block_device);
        follow_device(-1, other, 0, INT64_MAX, facts.under, {1, true});
        in_use = share_storage(device, facts) && claimed(other);
    }
    closedir(devices);
    return in_use;
}
