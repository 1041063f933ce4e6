// SPDX-License-Identifier: MIT
// What the rooms of the Linux walk (linux_devices, _filesystems, _overlay, _sys, _under) share.
#ifndef TALVOR_POSIX_LINUX_WALK_H
#define TALVOR_POSIX_LINUX_WALK_H

#include <sys/types.h>

#include <climits>
#include <cstddef>
#include <cstdint>

#include "system.h"

constexpr int DECIMAL = 10;
// Room for a name of /sys or /proc/self (a directory and a leaf), a line of fdinfo, or MAJOR:MINOR.
constexpr std::size_t SYS_NAME_SIZE = 128;

// The first line of a file of /sys (a number, MAJOR:MINOR, a loop device's file),
// or "" when it cannot be read, with error why (ENOENT: the file is not there).
struct sys_line {
    char text[PATH_MAX];
    int error;
};
sys_line read_sys_file(const char* name);

// The same, of a file in the device's own directory of /sys/dev/block.
sys_line read_sys(dev_t device, const char* leaf);

// The device that MAJOR:MINOR names; 0, which names none, if it does not.
dev_t device_named(const char* text);

// Follows, whole, each device that a directory of /sys lists by its
// entries' dev files; how many it lists, or -1 (errno why) when it cannot be read.
long follow_listed(const char* directory, storage& under, walk at);

// Opens the very file that fd (an O_PATH one too) holds again, which no name
// swapped in meanwhile can change; ENOENT when /proc is missing.
opened open_again(int fd, int flags);

// Opens a file found by name, to be asked about it; only to look at it where it cannot be read.
int open_to_ask(const char* name, int flags);

// Opens the device's node for reading, without waiting for a medium, checked
// as open to be that very device; -1 with the error why when it cannot be.
opened open_node(dev_t device);

// Whether a block device is held (mounted, claimed by a program or by a device
// built on it), as an exclusive open of its node tells; unknown without a node.
enum class device_claim { free, held, unknown };
device_claim claim_of(dev_t device);

// Follows the file in the topmost layer that holds an overlayfs file's bytes,
// known to be it by the kernel; says whether the upper layer has it.
upper_layer follow_layers(int fd, std::int64_t start, std::int64_t end, storage& under, walk at);

// Keeps fd, a regular file met where a run's file's bytes lie, opened anew for a turn on it.
void keep_file_under(int fd, walk at);

#endif
