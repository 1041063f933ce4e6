// SPDX-License-Identifier: MIT
// The fixture's own directory, and the file systems, loop devices and
// partitions a test makes in it, undone at its end.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "harness.h"
#include "process.h"
#include "test_config.h"

namespace fs = std::filesystem;

void ToolTest::SetUp()
{
    dir = make_temp_dir("talvor-test");
    ASSERT_FALSE(dir.empty());
}

std::string ToolTest::mount_xfs(std::string* why)
{
    if (geteuid() != 0) {
        *why = "mounting a loop file system needs root";
        return std::string();
    }
    if (!have_program("mkfs.xfs")) {
        *why = "mkfs.xfs (xfsprogs) is not installed";
        return std::string();
    }
    std::string image = path("xfs.img");
    std::string mnt = path("xfs");
    if (shell("truncate -s 512M " + ::quoted(image) + " && mkfs.xfs -q -m reflink=1 " +
              ::quoted(image) + " && mkdir " + ::quoted(mnt) + " && mount -o loop " +
              ::quoted(image) + " " + ::quoted(mnt)) != 0) {
        *why = "cannot make and mount an XFS image here";
        return std::string();
    }
    return mnt;
}

bool ToolTest::can_mount(const std::string& program, std::string* why)
{
    if (geteuid() != 0)
        *why = "mounting and loop devices need root";
    else if (!program.empty() && !have_program(program))
        *why = program + " is not installed";
    else
        return true;
    return false;
}

bool ToolTest::mounted(const std::string& command, const std::string& mnt, std::string* why)
{
    // Every command's output, mkfs's warnings too, is for why, not for the suite's.
    std::string log = path("mount.log");
    if (shell("mkdir -p " + ::quoted(mnt) + " && { " + command + "; } >>" + ::quoted(log) +
              " 2>&1") != 0) {
        *why = "cannot mount here: " + command + ": " + read_file(log);
        return false;
    }
    mounts.push_back(mnt);
    return true;
}

std::string ToolTest::mount_btrfs(std::string* why)
{
    std::string image = path("btrfs.img");
    std::string mnt = path("btrfs");
    if (!can_mount("mkfs.btrfs", why) ||
        !mounted("truncate -s 2G " + ::quoted(image) + " && mkfs.btrfs -q " + ::quoted(image) +
                     " && mount -o loop " + ::quoted(image) + " " + ::quoted(mnt),
                 mnt, why))
        return std::string();
    return mnt;
}

std::string ToolTest::mount_ntfs(std::string* why)
{
    std::string image = path("ntfs.img");
    std::string mnt = path("ntfs");
    if (!can_mount("mkfs.ntfs", why) || !can_mount("ntfs-3g", why) ||
        !mounted("truncate -s 256M " + ::quoted(image) + " && mkfs.ntfs -q -F -f " +
                     ::quoted(image) + " && ntfs-3g " + ::quoted(image) + " " + ::quoted(mnt),
                 mnt, why))
        return std::string();
    return mnt;
}

std::string ToolTest::mount_tmpfs(const std::string& name, const std::string& size,
                                  std::string* why)
{
    std::string mnt = path(name);
    if (!can_mount("", why) ||
        !mounted("mount -t tmpfs -o size=" + ::quoted(size) + " tmpfs " + ::quoted(mnt), mnt, why))
        return std::string();
    return mnt;
}

std::string ToolTest::mount_overlay(const std::string& upper_size, std::string* why,
                                    const std::string& lower)
{
    std::string upper = mount_tmpfs("upper", upper_size, why);
    std::string mnt = path("overlay");
    if (upper.empty() ||
        !mounted("mkdir -p " + ::quoted(path("lower")) + " " + ::quoted(upper + "/u") + " " +
                     ::quoted(upper + "/w") + " && mount -t overlay overlay -o " +
                     ::quoted(lower + path("lower") + ",upperdir=" + upper + "/u,workdir=" + upper +
                              "/w") +
                     " " + ::quoted(mnt),
                 mnt, why))
        return std::string();
    return mnt;
}

std::string ToolTest::mount_failfs(long long limit, std::string* why)
{
    if (std::strlen(TEST_FAILFS) == 0) {
        *why = "tests/failfs.c was not built: libfuse3 (libfuse3-dev) was not found";
        return std::string();
    }
    std::string backing = path("failfs-backing");
    std::string mnt = path("failfs");
    if (!can_mount("", why) || access("/dev/fuse", R_OK | W_OK) != 0 ||
        !mounted("mkdir -p " + ::quoted(backing) + " && " + ::quoted(TEST_FAILFS) + " " +
                     ::quoted(backing) + " " + std::to_string(limit) + " " + ::quoted(mnt),
                 mnt, why)) {
        if (why->empty())
            *why = "/dev/fuse is missing";
        return std::string();
    }
    return mnt;
}

std::string ToolTest::mount_device(const std::string& device, const std::string& options,
                                   std::string* why)
{
    std::string mnt = path("mnt");
    if (!can_mount("", why) ||
        !mounted("mount -o " + ::quoted(options) + " " + ::quoted(device) + " " + ::quoted(mnt),
                 mnt, why))
        return std::string();
    return mnt;
}

std::string ToolTest::attach_loop(const std::string& file, std::string* why, long long offset)
{
    if (!can_mount("losetup", why))
        return std::string();
    std::string device;
    std::string command =
        "losetup -f --show -o " + std::to_string(offset) + " " + ::quoted(file) + " 2>/dev/null";
    if (FILE* out = popen(command.c_str(), "r")) {
        char line[256];
        if (std::fgets(line, sizeof line, out) != nullptr)
            device = std::string(line, std::strcspn(line, "\n"));
        pclose(out);
    }
    if (device.empty())
        *why = "no loop device can be attached here";
    else
        loops.push_back(device);
    return device;
}

std::string ToolTest::add_partition(const std::string& device, long long start, long long end,
                                    std::string* why)
{
    constexpr long long SECTOR = 512;
    int added = 0;
    for (const std::string& p : partitions)
        added += p.rfind(device + " ", 0) == 0 ? 1 : 0;
    std::string number = std::to_string(added + 1);
    std::string partition = device + "p" + number;
    if (!have_program("addpart") ||
        shell("addpart " + ::quoted(device) + " " + number + " " + std::to_string(start / SECTOR) +
              " " + std::to_string((end - start) / SECTOR) + " 2>/dev/null") != 0) {
        *why = "no partition can be added to a loop device here (addpart)";
        return std::string();
    }
    partitions.push_back(device + " " + number);
    // devtmpfs makes the node as the kernel adds the partition, or just after.
    for (int tries = 0; tries < 50 && !exists(partition); ++tries)
        usleep(20000);
    return partition;
}

void ToolTest::TearDown()
{
    // A loop device keeps partitions added by hand past its detach.
    for (const std::string& p : partitions)
        shell("delpart " + p);
    // Loop devices first: one may hold a file on a tmpfs mounted here.
    for (const std::string& device : loops)
        shell("losetup -d " + ::quoted(device));
    for (auto m = mounts.rbegin(); m != mounts.rend(); ++m)
        shell("umount " + ::quoted(*m) + " 2>/dev/null || umount -l " + ::quoted(*m));
    if (exists(path("xfs")))
        shell("mountpoint -q " + ::quoted(path("xfs")) + " && umount " + ::quoted(path("xfs")));
    std::error_code ignored;
    fs::remove_all(dir, ignored);
}
