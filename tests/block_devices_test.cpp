// SPDX-License-Identifier: MIT
// Cases on block devices: loop devices as DEST, as SOURCE and over an input,
// partitions of one disk, and devices in use. Each needs root and attaches
// its own.
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "harness.h"

namespace {

using FileSystems = ToolTest;

constexpr std::size_t MIB = std::size_t{1024} * 1024;

TEST_F(FileSystems, BlockDeviceDestinationIsFlushedWithItsHeadLaidLast)
{
    SKIP_UNLESS_POSIX_TOOL();
    std::string insert = pattern(32768, 1);
    write_file(path("IP.BIN"), insert);
    std::string old = pattern(8 * MIB, 2);
    write_file(path("disk"), old);
    std::string why;
    std::string device = attach_loop(path("disk"), &why);
    if (device.empty())
        GTEST_SKIP() << why;

    // The device keeps its bytes past the source, and they reach its file
    // before the tool reports success. Held open here, so that the tool's
    // close is not the last one, which would flush it anyway.
    std::string small = pattern(3 * MIB + 100, 3);
    write_file(path("small"), small);
    int held = open(device.c_str(), O_RDONLY);
    tool_run r = run({"small", device});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(read_file(path("disk")) ==
                expected_output(small, insert) + old.substr(small.size()));
    close(held);

    // Too long for the device: the head, laid last, is never reached.
    shell("dd if=" + path("small") + " of=" + device + " bs=32768 count=1 status=none conv=fsync");
    write_file(path("large"), pattern(12 * MIB, 4));
    r = run({"large", device});
    EXPECT_EQ(r.out, r.name + ": Je ne peux pas ecrire " + device + "\n");
    EXPECT_EQ(r.status, 249);
    std::string head = read_file(device).substr(0, 32768);
    EXPECT_FALSE(head == insert) << "a failed run looks done";

    // A device whose writes fail once flushed: its file lies on a full tmpfs.
    std::string tiny = mount_tmpfs("tiny", "1M", &why);
    if (tiny.empty())
        GTEST_SKIP() << why;
    ASSERT_EQ(shell("truncate -s 8M " + tiny + "/disk"), 0);
    std::string failing = attach_loop(tiny + "/disk", &why);
    if (failing.empty())
        GTEST_SKIP() << why;
    r = run({"small", failing});
    EXPECT_EQ(r.out, r.name + ": Je ne peux pas ecrire " + failing + "\n");
    EXPECT_EQ(r.status, 249);
    EXPECT_FALSE(read_file(failing).substr(0, 32768) == insert)
        << "the head went over a failed flush";
}

TEST_F(FileSystems, BlockDeviceSourceIsCopiedLikeAFile)
{
    SKIP_UNLESS_STRACE();
    std::string insert = pattern(32768, 1);
    write_file(path("IP.BIN"), insert);
    // Not a whole number of buffers; the device drops the last partial sector.
    std::string disk = pattern(6 * MIB + 1536 + 100, 2);
    write_file(path("disk"), disk);
    std::string why;
    std::string device = attach_loop(path("disk"), &why);
    if (device.empty())
        GTEST_SKIP() << why;
    std::string log = path("read.log");
    tool_run r =
        run({device, "dst"},
            {{"strace", "-qq", "-y", "-e", "trace=read", "-o", log}, nullptr, {NO_LEAK_CHECK}});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(read_file(path("dst")) == expected_output(disk.substr(0, 6 * MIB + 1536), insert));
    // Through the large buffer, as a file is: a buffer a read, where 64 KiB
    // steps would take a hundred.
    std::string reads = "$(grep -c '^read(.*" + device + ">' " + log + ")";
    EXPECT_EQ(shell("test " + reads + " -ge 1 && test " + reads + " -le 9"), 0) << read_file(log);
}

// A loop device shows its file's bytes: writing it would write the input.
TEST_F(FileSystems, LoopDeviceOverAnInputIsTheSameFile)
{
    SKIP_UNLESS_POSIX_TOOL();
    SKIP_UNLESS_LINUX_CALLS("the loop device's backing file");
    std::string insert = pattern(32768, 1);
    std::string source = pattern(MIB, 2);
    write_file(path("IP.BIN"), insert);
    write_file(path("src"), source);
    struct loop_case {
        const char* backing;
        long long offset;
        bool device_is_source; // else the device is DEST, and the file an input
        const char* same_as;
    };
    const loop_case cases[] = {{"src", 0, false, "src"},
                               {"src", 4096, false, "src"},
                               {"IP.BIN", 0, false, "IP.BIN"},
                               {"src", 0, true, "src"}};
    // Every device attached first: one that cannot be skips before any check.
    std::vector<std::string> devices;
    for (const loop_case& c : cases) {
        std::string why;
        devices.push_back(attach_loop(path(c.backing), &why, c.offset));
        if (devices.back().empty())
            GTEST_SKIP() << why;
    }
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const loop_case& c = cases[i];
        const std::string& device = devices[i];
        SCOPED_TRACE(device + " over " + c.backing + " at " + std::to_string(c.offset));
        std::string destination = c.device_is_source ? "src" : device;
        tool_run r = run({c.device_is_source ? device : "src", destination});
        std::string named = c.device_is_source ? device : c.same_as;
        EXPECT_EQ(r.out, same_file_refusal(r.name, destination, named));
        EXPECT_EQ(r.status, 252);
        EXPECT_TRUE(read_file(path("src")) == source);
        EXPECT_TRUE(read_file(path("IP.BIN")) == insert);
    }
}

// A partition lies on its disk's bytes: over a loop device over an input, or
// over a device given as the input, it is refused as that input; another
// partition of the same disk is written.
TEST_F(FileSystems, PartitionSharesItsDisksBytes)
{
    SKIP_UNLESS_POSIX_TOOL();
    SKIP_UNLESS_LINUX_CALLS("the loop device's backing file and /sys");
    std::string insert = pattern(32768, 1);
    std::string source = pattern(MIB, 2);
    std::string disk = pattern(MIB, 3);
    write_file(path("IP.BIN"), insert);
    write_file(path("src"), source);
    write_file(path("disk"), disk);
    std::string why;
    std::string over_source = attach_loop(path("src"), &why);
    std::string over_disk = over_source.empty() ? "" : attach_loop(path("disk"), &why);
    std::string in_source = over_disk.empty() ? "" : add_partition(over_source, 0, MIB / 2, &why);
    std::string first = in_source.empty() ? "" : add_partition(over_disk, MIB / 4, MIB / 2, &why);
    std::string second = first.empty() ? "" : add_partition(over_disk, MIB / 2, 3 * MIB / 4, &why);
    if (second.empty())
        GTEST_SKIP() << why;
    struct partition_case {
        std::string source;
        std::string destination; // refused as the same file as source, unless written
        bool written;
    };
    const partition_case cases[] = {{"src", in_source, false},
                                    {in_source, "src", false},
                                    {over_disk, first, false},
                                    {first, over_disk, false},
                                    {first, second, true}};
    for (const partition_case& c : cases) {
        SCOPED_TRACE(c.source + " into " + c.destination);
        tool_run r = run({c.source, c.destination});
        std::string expected_disk = disk;
        if (c.written) {
            expected_disk.replace(MIB / 2, MIB / 4,
                                  expected_output(disk.substr(MIB / 4, MIB / 4), insert));
            EXPECT_EQ(r.out, success_report(r.name));
            EXPECT_EQ(r.status, 0);
        } else {
            EXPECT_EQ(r.out, same_file_refusal(r.name, c.destination, c.source));
            EXPECT_EQ(r.status, 252);
        }
        EXPECT_TRUE(read_file(path("src")) == source);
        EXPECT_TRUE(read_file(path("disk")) == expected_disk);
        EXPECT_TRUE(read_file(path("IP.BIN")) == insert);
    }
}

// Mounted, or held by another program, a device is refused as mkfs refuses it.
TEST_F(FileSystems, BlockDeviceInUseIsRefusedUntouched)
{
    SKIP_UNLESS_POSIX_TOOL();
    SKIP_UNLESS_LINUX_CALLS("an exclusive open of a device");
    if (!have_program("mkfs.ext4"))
        GTEST_SKIP() << "mkfs.ext4 (e2fsprogs) is not installed";
    std::string insert = pattern(32768, 1);
    std::string source = pattern(MIB, 2);
    write_file(path("IP.BIN"), insert);
    write_file(path("src"), source);
    ASSERT_EQ(shell("truncate -s 16M " + path("disk") + " && mkfs.ext4 -q -F " + path("disk")), 0);
    std::string filesystem = read_file(path("disk"));
    std::string why;
    std::string device = attach_loop(path("disk"), &why);
    if (device.empty())
        GTEST_SKIP() << why;
    std::string mnt = mount_device(device, "ro", &why);
    if (mnt.empty())
        GTEST_SKIP() << why;
    enum holder { MOUNTED, OPENED_EXCLUSIVELY, FREE };
    for (holder h : {MOUNTED, OPENED_EXCLUSIVELY, FREE}) {
        SCOPED_TRACE(h);
        if (h == OPENED_EXCLUSIVELY) {
            ASSERT_EQ(shell("umount " + mnt), 0);
        }
        int held = h == OPENED_EXCLUSIVELY ? open(device.c_str(), O_RDONLY | O_EXCL) : -1;
        tool_run r = run({"src", device});
        if (held >= 0)
            close(held);
        if (h == FREE) {
            EXPECT_EQ(r.status, 0) << r.out;
            EXPECT_TRUE(read_file(path("disk")) ==
                        expected_output(source, insert) + filesystem.substr(source.size()));
            continue;
        }
        EXPECT_EQ(r.out, r.name + ": Je ne peux pas ouvrir " + device + "\n");
        EXPECT_EQ(r.status, 252);
        EXPECT_TRUE(read_file(path("disk")) == filesystem) << "the device was written";
    }
}

} // namespace
