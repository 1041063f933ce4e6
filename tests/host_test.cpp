// SPDX-License-Identifier: MIT
// Cases that need a POSIX host around the tool: devices, pipes, /proc, fault
// injection, an allocation shim, large and shared files, a FIFO to write.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <thread>

#include "harness.h"
#include "test_config.h"

namespace {

using HostFailure = ToolTest;
using HostSource = ToolTest;
using HostDestination = ToolTest;
using KernelCopy = ToolTest;

TEST_F(HostFailure, FullDeviceIsAWriteFailure)
{
    SKIP_UNLESS_POSIX_TOOL();
    write_file(path("IP.BIN"), "head");
    write_file(path("src"), pattern(100000, 1));
    tool_run r = run({"src", "/dev/full"});
    EXPECT_EQ(r.out, r.name + ": Je ne peux pas ecrire /dev/full\n");
    EXPECT_EQ(r.status, 249);
}

TEST_F(HostFailure, NoWorkingBufferLeavesAnEmptyDestination)
{
    SKIP_UNLESS_POSIX_TOOL();
    std::string shim = shim_path("refuse_alloc");
    if (shim.empty())
        GTEST_SKIP() << "no allocation shim was built for the tool under test";
    write_file(path("IP.BIN"), "head");
    write_file(path("src"), pattern(5000, 1));
    for (bool old : {false, true}) {
        if (old)
            write_file(path("dst"), "bytes of an earlier run");
        tool_run r = run({"src", "dst"}, preloading(shim));
        EXPECT_EQ(r.out, r.name + ": Je ne trouve pas le buffer de travail\n");
        EXPECT_EQ(r.status, 251);
        EXPECT_TRUE(exists(path("dst")));
        EXPECT_EQ(read_file(path("dst")), "") << "old destination: " << old;
    }
}

TEST_F(HostFailure, UnreadableSourceIsAReadFailure)
{
    SKIP_UNLESS_POSIX_TOOL();
    write_file(path("IP.BIN"), "head");
    // Offset 0 of a process's memory is never mapped: reading it gives EIO.
    tool_run r = run({"/proc/self/mem", "dst"});
    EXPECT_EQ(r.out, r.name + ": Je ne peux pas lire /proc/self/mem\n");
    EXPECT_EQ(r.status, 250);
}

TEST_F(HostSource, PipeIsStreamedLikeAFile)
{
    SKIP_UNLESS_POSIX_TOOL();
    std::string insert = pattern(32768, 1);
    std::string source = pattern(3 * 1024 * 1024 + 11, 2);
    write_file(path("IP.BIN"), insert);
    run_options piped;
    piped.input = &source;
    tool_run r = run({"/dev/stdin", "dst"}, piped);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(read_file(path("dst")) == expected_output(source, insert));
}

TEST_F(HostSource, ProcFileOfSizeZeroCopiesItsContent)
{
    SKIP_UNLESS_POSIX_TOOL();
    write_file(path("IP.BIN"), "AB");
    std::string content = read_file("/proc/version");
    ASSERT_GT(content.size(), 2u);
    tool_run r = run({"/proc/version", "dst"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(path("dst")), expected_output(content, "AB"));
}

// Files of /sys say 4096 bytes and hold fewer: DEST follows what is read.
TEST_F(HostSource, SourceShorterThanItSaysEndsDestThere)
{
    SKIP_UNLESS_POSIX_TOOL();
    std::string sys;
    for (const char* f : {"/sys/kernel/mm/transparent_hugepage/enabled",
                          "/sys/kernel/uevent_helper", "/sys/kernel/profiling", "/sys/power/state"})
        if (access(f, R_OK) == 0 && read_file(f).size() < 2048) {
            sys = f;
            break;
        }
    if (sys.empty())
        GTEST_SKIP() << "no short file of /sys is readable here";
    std::string insert = pattern(2048, 1);
    write_file(path("IP.BIN"), insert);
    for (bool old : {false, true}) {
        if (old)
            write_file(path("dst"), pattern(8192, 2));
        tool_run r = run({sys, "dst"});
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(read_file(path("dst")), expected_output(read_file(sys), insert)) << sys;
    }
}

// A DEST that cannot be cut back after a failure gets zeros, not its old bytes.
TEST_F(HostFailure, DestThatCannotBeCutBackIsClearedInstead)
{
    SKIP_UNLESS_TRACEABLE();
    std::string insert = pattern(32768, 1);
    std::string source = pattern(3 * 1024 * 1024, 2);
    write_file(path("IP.BIN"), insert);
    write_file(path("dst"), std::string(5 * 1024 * 1024, '\xAA'));
    // Piped, so that the body goes through write(); the third write fails.
    run_options options = under_strace("write:error=EIO:when=3;ftruncate:error=EIO");
    options.input = &source;
    tool_run r = run({"/dev/stdin", "dst"}, options);
    EXPECT_EQ(r.out, r.name + ": Je ne peux pas ecrire dst\n");
    EXPECT_EQ(r.status, 249);
    std::string left = read_file(path("dst"));
    std::string unsealed = unsealed_output(source, insert);
    std::size_t ours = 0;
    while (ours < left.size() && ours < unsealed.size() && left[ours] == unsealed[ours])
        ++ours;
    EXPECT_GE(ours, insert.size()) << "not even the first block was this run's";
    EXPECT_EQ(left.find_first_not_of('\0', ours), std::string::npos) << "old bytes remain";
}

TEST_F(HostSource, CopyAcrossFileSystemsIsExact)
{
    SKIP_UNLESS_POSIX_TOOL();
    if (access("/dev/shm", W_OK) != 0)
        GTEST_SKIP() << "/dev/shm is not writable here";
    std::string insert = pattern(1000, 1);
    std::string source = pattern(2 * 1024 * 1024 + 5, 2);
    std::string shm = "/dev/shm/talvor-test-" + std::to_string(getpid());
    write_file(shm, source);
    write_file(path("IP.BIN"), insert);
    tool_run r = run({shm, "dst"});
    unlink(shm.c_str());
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(read_file(path("dst")) == expected_output(source, insert));
}

TEST_F(HostSource, FiveGiBSparseSourceKeepsItsLengthHeadAndTail)
{
    const long long size = 5LL << 30;
    struct statvfs fs;
    ASSERT_EQ(statvfs(dir.c_str(), &fs), 0);
    if (static_cast<long long>(fs.f_bavail) * static_cast<long long>(fs.f_frsize) < (12LL << 30))
        GTEST_SKIP() << "under 12 GiB free in " << dir;
    std::string insert = pattern(32768, 1);
    std::string tail = "the last bytes of a very long file";
    write_file(path("IP.BIN"), insert);
    {
        std::ofstream big(path("big"), std::ios::binary);
        big << "original head";
        big.seekp(size - static_cast<long long>(tail.size()));
        big << tail;
    }
    tool_run r = run({"big", "out"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, success_report(r.name));
    std::ifstream out(path("out"), std::ios::binary | std::ios::ate);
    EXPECT_EQ(static_cast<long long>(out.tellg()), size);
    std::string head(32768 + 16, '\0');
    out.seekg(0);
    out.read(&head[0], static_cast<std::streamsize>(head.size()));
    EXPECT_TRUE(head == insert + std::string(16, '\0'));
    std::string end(tail.size(), '\0');
    out.seekg(size - static_cast<long long>(tail.size()));
    out.read(&end[0], static_cast<std::streamsize>(end.size()));
    EXPECT_EQ(end, tail);
    struct stat in;
    struct stat result;
    if (!tool_on_windows() && stat(path("big").c_str(), &in) == 0 &&
        stat(path("out").c_str(), &result) == 0) {
        EXPECT_LE(result.st_blocks, in.st_blocks + 256) << "the holes were filled";
    }
}

TEST_F(HostDestination, FifoGetsTheHeadThenTheBody)
{
    SKIP_UNLESS_POSIX_TOOL();
    std::string insert = pattern(32768, 1);
    std::string source = pattern(3 * 1024 * 1024 + 11, 2);
    write_file(path("IP.BIN"), insert);
    write_file(path("src"), source);
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0644), 0);
    std::string received;
    std::atomic<bool> drained{false};
    std::thread reader([&] {
        received = read_file(path("fifo"));
        drained = true;
    });
    tool_run r = run({"src", "fifo"});
    // A tool that never opened the FIFO leaves the reader waiting for a writer.
    while (!drained) {
        int release = open(path("fifo").c_str(), O_WRONLY | O_NONBLOCK);
        if (release >= 0)
            close(release);
        usleep(1000);
    }
    reader.join();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, success_report(r.name));
    EXPECT_TRUE(received == expected_output(source, insert)) << received.size() << " bytes";
}

TEST_F(KernelCopy, EveryFallbackErrorStillGivesExactBytes)
{
    SKIP_UNLESS_STRACE();
    SKIP_UNLESS_LINUX_CALLS("the kernel copy");
    std::string insert = pattern(1000, 1);
    std::string source = pattern(3 * 1024 * 1024 + 7, 2);
    write_file(path("IP.BIN"), insert);
    write_file(path("src"), source);
    const std::string expected = expected_output(source, insert);
    // EIO may be either file's: the buffer's retry finds both sound here.
    for (const char* error :
         {"ENOSYS", "EXDEV", "EOPNOTSUPP", "EINVAL", "EPERM", "EBADF", "ETXTBSY", "EACCES",
          "ENOTTY", "ENOENT", "EFBIG", "EOVERFLOW", "EIO"}) {
        tool_run r = run({"src", "dst"},
                         under_strace(std::string("copy_file_range:error=") + error + ":when=1"));
        EXPECT_EQ(r.status, 0) << error;
        EXPECT_TRUE(read_file(path("dst")) == expected) << error;
    }
    tool_run zero = run({"src", "dst"}, under_strace("copy_file_range:retval=0:when=1"));
    EXPECT_EQ(zero.status, 0);
    EXPECT_TRUE(read_file(path("dst")) == expected);

    // Refused after a first call copied some: the buffer copies the rest.
    tool_run late = run({"src", "dst"}, under_strace("copy_file_range:error=EXDEV:when=2"));
    EXPECT_EQ(late.status, 0) << late.out;
    EXPECT_EQ(late.out, success_report(late.name));
    EXPECT_TRUE(read_file(path("dst")) == expected);

    // A new destination: an old one would be emptied and written again.
    unlink(path("dst").c_str());
    tool_run full = run({"src", "dst"}, under_strace("copy_file_range:error=ENOSPC:when=1"));
    EXPECT_EQ(full.out, full.name + ": Je ne peux pas ecrire dst\n");
    EXPECT_EQ(full.status, 249);
}

TEST_F(KernelCopy, ReflinkOnXfsSharesTheSourceExtents)
{
    SKIP_UNLESS_POSIX_TOOL();
    SKIP_UNLESS_LINUX_CALLS("the kernel copy");
    if (!have_program("filefrag"))
        GTEST_SKIP() << "filefrag (e2fsprogs) is not installed";
    std::string why;
    std::string mnt = mount_xfs(&why);
    if (mnt.empty())
        GTEST_SKIP() << why;
    std::string source = pattern(8 * 1024 * 1024, 2);
    write_file(mnt + "/src", source);
    for (std::size_t insert_size : {std::size_t{32768}, std::size_t{1000}}) {
        std::string insert = pattern(insert_size, 3);
        write_file(mnt + "/IP.BIN", insert);
        tool_run r = run_tool(mnt, {"src", "dst"});
        EXPECT_EQ(r.status, 0) << insert_size;
        EXPECT_TRUE(read_file(mnt + "/dst") == expected_output(source, insert)) << insert_size;
        EXPECT_EQ(shell("filefrag -v " + mnt + "/dst | grep -q shared"), 0)
            << "no shared extent with IP.BIN of " << insert_size;
    }
}

} // namespace
