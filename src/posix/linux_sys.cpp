// SPDX-License-Identifier: MIT
// /sys lines of block devices and their nodes opened and checked; the files under a run's file
// (a loop device's file, an overlay's layer file) opened anew, so that the run takes turns on them.
#include "linux_walk.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

sys_line read_sys_file(const char* name)
{
    sys_line line = {};
    int fd = open(name, O_RDONLY | O_CLOEXEC);
    ssize_t n = fd < 0 ? -1 : read(fd, line.text, sizeof line.text - 1);
    if (n > 0 && line.text[n - 1] == '\n')
        line.text[--n] = '\0';
    // An empty line tells nothing either.
    if (n <= 0) {
        line.text[0] = '\0';
        line.error = n < 0 ? errno : EIO;
    }
    if (fd >= 0)
        close(fd);
    return line;
}

sys_line read_sys(dev_t device, const char* leaf)
{
    char name[SYS_NAME_SIZE];
    std::snprintf(name, sizeof name, "/sys/dev/block/%u:%u/%s", major(device), minor(device), leaf);
    return read_sys_file(name);
}

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

opened open_again(int fd, int flags)
{
    char name[SYS_NAME_SIZE];
    std::snprintf(name, sizeof name, "/proc/self/fd/%d", fd);
    int again = open(name, O_CLOEXEC | flags);
    return {again, again < 0 ? errno : NO_REASON, false};
}

void keep_file_under(int fd, walk at)
{
    if (at.keep == nullptr || !at.holds || at.keep->count == MOST_PLACES)
        return;
    // An overlay file opened for writing would be copied up by this open;
    // its layer file, met next, takes the turn instead.
    struct statfs where;
    if (at.writing && (fstatfs(fd, &where) != 0 || where.f_type == OVERLAYFS_SUPER_MAGIC))
        return;
    // A turn alone asks a file open for writing; a shared one, for reading.
    opened again = open_again(fd, (at.writing ? O_WRONLY : O_RDONLY) | O_NONBLOCK | O_NOCTTY);
    if (again.file != NO_FILE)
        at.keep->file[at.keep->count++] = again.file;
}

int open_to_ask(const char* name, int flags)
{
    int fd = open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | flags);
    return fd >= 0 || errno != EACCES ? fd : open(name, O_PATH | O_CLOEXEC | flags);
}

opened open_node(dev_t device)
{
    // The node under /dev that /sys names the device by: the last part of the
    // link /sys/dev/block/MAJOR:MINOR.
    char name[SYS_NAME_SIZE];
    char target[PATH_MAX];
    std::snprintf(name, sizeof name, "/sys/dev/block/%u:%u", major(device), minor(device));
    ssize_t n = readlink(name, target, sizeof target - 1);
    target[n > 0 ? n : 0] = '\0';
    const char* last = std::strrchr(target, '/');
    if (last == nullptr)
        return {NO_FILE, ENODEV, false};
    char node[SYS_NAME_SIZE + NAME_MAX];
    std::snprintf(node, sizeof node, "/dev/%s", last + 1);
    int fd = open(node, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return {NO_FILE, errno, false};
    // The name only finds the node: what it opened must be the device asked for.
    struct stat info;
    if (fstat(fd, &info) == 0 && S_ISBLK(info.st_mode) && info.st_rdev == device)
        return {fd, NO_REASON, false};
    close(fd);
    return {NO_FILE, ENODEV, false};
}

device_claim claim_of(dev_t device)
{
    opened node = open_node(device);
    if (node.file == NO_FILE)
        return device_claim::unknown;
    // Opened again through the node already checked, so that no other device answers.
    opened alone = open_again(static_cast<int>(node.file), O_RDONLY | O_EXCL | O_NONBLOCK);
    close_file(alone.file);
    close_file(node.file);
    if (alone.file != NO_FILE)
        return device_claim::free;
    return alone.error == EBUSY ? device_claim::held : device_claim::unknown;
}
