// SPDX-License-Identifier: MIT
// What a block device is over on Linux: the stretch of a whole disk that it
// takes, told by /sys, and the file behind a loop device, told by the device.
#include <fcntl.h>
#include <linux/loop.h>
#include <linux/major.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "system.h"

namespace {

// Room for "/sys/dev/block/MAJOR:MINOR/../dev" and any device number.
constexpr std::size_t SYS_NAME_SIZE = 64;
constexpr int DECIMAL = 10;
// Room for a line of /sys: a number, or MAJOR:MINOR.
constexpr std::size_t SYS_TEXT_SIZE = 32;
// /sys gives a partition's start and size in these, whatever the disk's blocks.
constexpr std::int64_t SYS_SECTOR = 512;

struct sys_line {
    char text[SYS_TEXT_SIZE];
};

// The first line of one of the device's files in /sys, or "" when it cannot
// be read, with errno ENOENT when the file is not there.
sys_line read_sys(dev_t device, const char* leaf)
{
    sys_line line = {};
    char name[SYS_NAME_SIZE];
    std::snprintf(name, sizeof name, "/sys/dev/block/%u:%u/%s", major(device), minor(device), leaf);
    int fd = open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return line;
    ssize_t n = read(fd, line.text, sizeof line.text - 1);
    // An empty file tells nothing either.
    int error = n < 0 ? errno : EIO;
    close(fd);
    if (n <= 0) {
        line.text[0] = '\0';
        errno = error;
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

// The device that a MAJOR:MINOR line in /sys names; 0, which names none, if
// it cannot be read.
dev_t sys_device(dev_t device, const char* leaf)
{
    sys_line line = read_sys(device, leaf);
    char* colon = nullptr;
    unsigned long major_number = std::strtoul(line.text, &colon, DECIMAL);
    if (colon == line.text || *colon != ':')
        return 0;
    char* end = nullptr;
    unsigned long minor_number = std::strtoul(colon + 1, &end, DECIMAL);
    if (end == colon + 1)
        return 0;
    return makedev(static_cast<unsigned>(major_number), static_cast<unsigned>(minor_number));
}

// The stretch of its whole disk that a block device takes; disk 0 when /sys
// would not say, which leaves the device unmeasured: a partition of a disk
// that holds an input must not be taken for a disk of its own.
disk_stretch stretch_of(dev_t device)
{
    disk_stretch none = {0, 0, 0};
    if (read_sys(device, "dev").text[0] == '\0')
        return none;
    if (read_sys(device, "partition").text[0] == '\0')
        return errno == ENOENT ? disk_stretch{device, 0, INT64_MAX} : none;
    dev_t disk = sys_device(device, "../dev");
    std::int64_t start = sys_bytes(device, "start");
    std::int64_t size = sys_bytes(device, "size");
    if (disk == 0 || start < 0 || size < 0)
        return none;
    return {disk, start, start + size};
}

} // namespace

device_place place_of_device(int fd, const struct stat& info)
{
    device_place place = {false, {0, 0}, stretch_of(info.st_rdev)};
    if (place.stretch.disk == 0)
        return place;
    place.told = true;
    if (major(static_cast<dev_t>(place.stretch.disk)) != LOOP_MAJOR)
        return place;
    // Asked through a partition, the loop device answers for its whole disk.
    struct loop_info64 loop;
    if (ioctl(fd, LOOP_GET_STATUS64, &loop) == 0)
        place.backing = {loop.lo_device, loop.lo_inode};
    // ENXIO: a loop device that shows no file now.
    else if (errno != ENXIO)
        place.told = false;
    return place;
}
