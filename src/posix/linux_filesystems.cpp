// SPDX-License-Identifier: MIT
// What a file stands on below itself, on Linux: an overlayfs file its layer's
// file; any other the device of its file system (every device of a Btrfs one).
#include <fcntl.h>
#include <linux/btrfs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>

#include "linux_walk.h"

namespace {

// Magic numbers that the system's headers do not name.
constexpr unsigned long CONFIGFS_MAGIC = 0x62656570;
constexpr unsigned long ZFS_MAGIC = 0x2fc12fc1;
constexpr unsigned long BCACHEFS_MAGIC = 0xca451a4e;

// File systems whose files stand on no device a call here names: kept in memory, made up by the
// kernel, or (ZFS, bcachefs) holding their bytes on devices out of reach.
bool on_no_device_told(const struct statfs& where)
{
    static constexpr unsigned long UNTOLD[] = {
        TMPFS_MAGIC,        RAMFS_MAGIC,         HUGETLBFS_MAGIC, PROC_SUPER_MAGIC,
        SYSFS_MAGIC,        DEBUGFS_MAGIC,       TRACEFS_MAGIC,   SECURITYFS_MAGIC,
        CGROUP_SUPER_MAGIC, CGROUP2_SUPER_MAGIC, CONFIGFS_MAGIC,  EFIVARFS_MAGIC,
        BPF_FS_MAGIC,       PIPEFS_MAGIC,        SOCKFS_MAGIC,    ANON_INODE_FS_MAGIC,
        DEVPTS_SUPER_MAGIC, ZFS_MAGIC,           BCACHEFS_MAGIC,
    };
    auto type = static_cast<unsigned long>(where.f_type);
    return std::find(std::begin(UNTOLD), std::end(UNTOLD), type) != std::end(UNTOLD);
}

// Follows every device of fd's Btrfs file system, whole: where in them its bytes lie is not told.
void follow_btrfs(int fd, storage& under, walk at)
{
    // Btrfs is asked through fd, or fd opened again where it only looks.
    int ask = fd;
    if ((fcntl(fd, F_GETFL) & O_PATH) != 0)
        ask = static_cast<int>(open_again(fd, O_RDONLY | O_NONBLOCK).file);
    struct btrfs_ioctl_fs_info_args info = {};
    bool told = ask >= 0 && ioctl(ask, BTRFS_IOC_FS_INFO, &info) == 0;
    if (ask >= 0 && ask != fd)
        close(ask);
    const unsigned char* u = info.fsid;
    char name[SYS_NAME_SIZE];
    std::snprintf(name, sizeof name,
                  "/sys/fs/btrfs/%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-"
                  "%02x%02x%02x%02x%02x%02x/devices",
                  u[0], u[1], u[2], u[3], u[4], u[5], u[6], u[7], u[8], u[9], u[10], u[11], u[12],
                  u[13], u[14], u[15]);
    if (!told || follow_listed(name, under, at) <= 0)
        cannot_follow(under, at);
}

} // namespace

void follow_file(int fd, const struct stat& info, std::int64_t start, std::int64_t end,
                 storage& under, walk at)
{
    struct statfs where;
    if (at.depth > MOST_DEPTH || fstatfs(fd, &where) != 0) {
        cannot_follow(under, at);
        return;
    }
    // A file made in an overlay's directory goes to its upper layer, which
    // no kernel call names: not followed, as a file made new holds nothing.
    if (where.f_type == OVERLAYFS_SUPER_MAGIC) {
        if (S_ISREG(info.st_mode))
            (void)follow_layers(fd, start, end, under, at);
        else
            cannot_follow(under, at);
        return;
    }
    if (major(info.st_dev) != 0)
        follow_device(info.st_dev, 0, INT64_MAX, under, within(at));
    else if (where.f_type == BTRFS_SUPER_MAGIC)
        follow_btrfs(fd, under, within(at));
    // A network or FUSE file system may show any file's bytes by this name.
    else if (!on_no_device_told(where))
        cannot_follow(under, at);
}
