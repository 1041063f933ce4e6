// SPDX-License-Identifier: MIT
// What talvor.exe makes of the files it is given: an input reached through
// another drive, disks and volumes known by their handle, and the reasons
// for a file that other programs hold.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "harness.h"
#include "shells.h"
#include "test_config.h"
#include "windows/devices.h"

namespace {

using Windows = ToolTest;

// A drive letter added to the Wine prefix as a link to target, taken out
// again however the test ends. With the suffix ":" ("q::"), the link names
// the drive's raw device, which Wine opens as the Unix device it names.
struct added_drive {
    std::string letter; // "q:", or "" when none could be added
    std::string link;
    added_drive(const std::string& target, const std::string& device_suffix = "")
    {
        const char* prefix = std::getenv("WINEPREFIX");
        for (char c = 'q'; prefix != nullptr && c < 'z' && letter.empty(); ++c) {
            std::string name = std::string(prefix) + "/dosdevices/" + c + ":";
            if (!exists(name) && !exists(name + ":") &&
                symlink(target.c_str(), (name + device_suffix).c_str()) == 0) {
                letter = std::string(1, c) + ":";
                link = name + device_suffix;
            }
        }
    }
    ~added_drive()
    {
        if (!link.empty())
            unlink(link.c_str());
    }
    added_drive(const added_drive&) = delete;
    added_drive& operator=(const added_drive&) = delete;
};

// An input held open without write sharing cannot become DEST, even by a path
// whose volume Wine tells apart from the input's: here a hard link through a
// drive letter of its own. A drive added while Wine runs may tell no volume
// serial yet: its file is then known by its id, and refused as the input.
TEST_F(Windows, InputReachedThroughAnotherDriveIsNotOpenedForWriting)
{
    SKIP_UNLESS_WINDOWS_TOOL();
    std::filesystem::create_directory(path("linked"));
    added_drive drive(path("linked"));
    if (drive.letter.empty())
        GTEST_SKIP() << "WINEPREFIX is not set: no drive letter can be added";
    std::string insert = pattern(5000, 1);
    std::string source = pattern(70000, 2);
    write_file(path("IP.BIN"), insert);
    write_file(path("src"), source);
    for (const char* input : {"src", "IP.BIN"}) {
        std::string link = path("linked/") + input;
        ASSERT_EQ(::link(path(input).c_str(), link.c_str()), 0);
        std::string destination = drive.letter + "\\" + input;
        tool_run r = run({"src", destination});
        EXPECT_TRUE(r.out == r.name + ": Je ne peux pas ouvrir " + destination + "\n" ||
                    r.out == same_file_refusal(r.name, destination, input))
            << r.out;
        EXPECT_EQ(r.status, 252);
        EXPECT_TRUE(read_file(path("src")) == source);
        EXPECT_TRUE(read_file(path("IP.BIN")) == insert);
    }
}

// A whole disk or volume cannot be written as a file: it is refused by what
// its handle, opened without write access, answers, whatever its name, and
// standard error says why. Wine shows each drive as a volume, and a drive's
// raw device as the Unix device it names: here a loop device over a file of
// the test. A name that no device has opens nothing, and makes nothing.
TEST_F(Windows, DiskOrVolumeAsDestIsRefusedWhateverItsName)
{
    SKIP_UNLESS_WINDOWS_TOOL();
    write_file(path("IP.BIN"), pattern(5000, 1));
    write_file(path("src.img"), pattern(70000, 2));
    const std::string disk = pattern(std::size_t{1} << 20, 3);
    write_file(path("disk.img"), disk);
    std::string why;
    std::string loop = attach_loop(path("disk.img"), &why);
    added_drive raw(loop.empty() ? "/nonexistent" : loop, ":");
    std::vector<std::string> disks = {
        "\\\\.\\C:", "\\\\?\\GLOBALROOT\\??\\C:", "\\\\.\\GLOBALROOT\\DosDevices\\C:"};
    if (!loop.empty() && !raw.letter.empty())
        disks.push_back("\\\\.\\" + raw.letter);
    else
        std::printf("[  NOTE    ] no raw device for Wine: %s\n", why.c_str());
    struct named {
        std::vector<std::string> names;
        const char* reason;
    };
    const named groups[] = {
        {disks, "disque ou volume, pas encore pris en charge"},
        {{"\\\\.\\PhysicalDrive9", "\\\\.\\E:", "//./e:", "\\\\?\\F:", "\\\\.\\HarddiskVolume9",
          "\\\\?\\Volume{12345678-1234-1234-1234-123456789abc}",
          "\\\\.\\GLOBALROOT\\Device\\Harddisk9\\Partition0",
          "\\\\?\\STORAGE#Volume#{12345678-1234-1234-1234-123456789abc}#0000000000100000#"},
         "absent"}};
    const std::vector<std::string> before = list_dir(dir);
    for (const named& group : groups)
        for (const std::string& destination : group.names) {
            SCOPED_TRACE(destination);
            errors_run e = run_keeping_errors(dir, {"src.img", destination});
            EXPECT_EQ(e.run.status, 252);
            EXPECT_EQ(e.run.out, e.run.name + ": Je ne peux pas ouvrir " + destination + "\n");
            EXPECT_EQ(e.err, e.run.name + ": " + destination + ": " + group.reason + "\n");
            EXPECT_EQ(list_dir(dir), before);
        }
    EXPECT_TRUE(read_file(path("disk.img")) == disk) << "the raw device was written";
}

// What real Windows answers for handles that Wine does not make, and what
// Wine answers for its own (measured under Wine), each opened only to look.
// Opened so, a volume or a disk is the device itself, which tells no file's
// size; a file is served by a mounted file system.
TEST(WindowsHandles, DiskOrVolumeIsToldByWhatItsHandleAnswers)
{
    constexpr std::uint32_t NETWORK_FILE_SYSTEM = 0x14, DISK_FILE_SYSTEM = 0x08;
    constexpr std::uint32_t NAMED_PIPE = 0x11, NULL_DEVICE = 0x15, CONSOLE = 0x50;
    constexpr std::uint32_t REMOVABLE = 0x01, REMOTE = 0x10;
    constexpr std::uint32_t MOUNTED = DEVICE_IS_MOUNTED;
    struct handle_case {
        const char* what;
        device_answers answers; // device told, type, characteristics, size told, geometry told
        bool disk_or_volume;
    };
    const handle_case cases[] = {
        {"a file on a local disk", {true, DEVICE_DISK, MOUNTED, true, false}, false},
        {"a file whose file system passes disk codes down",
         {true, DEVICE_DISK, MOUNTED, true, true},
         false},
        {"a file on a share", {true, NETWORK_FILE_SYSTEM, REMOTE, true, false}, false},
        {"a file on a CD", {true, DEVICE_CD_ROM, MOUNTED | REMOVABLE, true, false}, false},
        {"a volume, \\\\.\\C:", {true, DEVICE_DISK, MOUNTED, false, true}, true},
        {"a disk, \\\\.\\PhysicalDrive0", {true, DEVICE_DISK, 0, false, true}, true},
        {"a CD drive without a disc", {true, DEVICE_CD_ROM, REMOVABLE, false, false}, true},
        {"a DVD drive", {true, DEVICE_DVD, REMOVABLE, false, true}, true},
        {"a virtual disk's volume", {true, DEVICE_VIRTUAL_DISK, MOUNTED, false, true}, true},
        {"the null device", {true, NULL_DEVICE, 0, true, false}, false},
        {"a named pipe", {true, NAMED_PIPE, 0, true, false}, false},
        {"a console", {true, CONSOLE, 0, false, false}, false},
        {"a handle that answers nothing", {false, 0, 0, false, false}, false},
        {"Wine: a file", {true, DISK_FILE_SYSTEM, MOUNTED, true, false}, false},
        {"Wine: a drive, \\\\.\\C:", {false, 0, 0, false, true}, true},
        {"Wine: a raw device, \\\\.\\Q: over /dev/loop0",
         {true, DEVICE_DISK, 0, true, false},
         true},
    };
    for (const handle_case& c : cases)
        EXPECT_EQ(disk_or_volume(c.answers), c.disk_or_volume) << c.what;
}

// Files that other programs hold, and folders, told in the tool's own words:
// a writer is told from a reader that lets no one in, and neither is the
// system's English text. The launcher holds the file as such a program would.
TEST_F(Windows, FilesHeldByOtherProgramsAreToldInTheToolsWords)
{
    SKIP_UNLESS_WINDOWS_TOOL();
#if !defined(TALVOR_TEST_LAUNCHER)
    GTEST_SKIP() << "no mingw-w64 C compiler built the launcher";
#else
    struct held {
        const char* hold; // LAUNCH_HOLD, or "" for none
        const char* source;
        int status;
        const char* failed; // the file that the message names
        const char* reason;
    };
    const held cases[] = {
        {"write:src", "src", 253, "src", "pris en ecriture par un autre programme"},
        {"alone:src", "src", 253, "src", "utilise par un autre programme"},
        {"alone:dst", "src", 252, "dst", "utilise par un autre programme"},
        {"", "folder", 253, "folder", "est un repertoire"},
    };
    const std::string source = pattern(70000, 2);
    write_file(path("IP.BIN"), pattern(5000, 1));
    write_file(path("src"), source);
    const std::string old = "an earlier good output";
    write_file(path("dst"), old);
    std::filesystem::create_directory(path("folder"));
    for (const held& c : cases) {
        SCOPED_TRACE(std::string(c.hold) + " " + c.source);
        run_options launched;
        launched.wrapper = {TOOL_COMMAND[0], TALVOR_TEST_LAUNCHER};
        if (*c.hold != '\0')
            launched.env = {std::string("LAUNCH_HOLD=") + c.hold};
        errors_run e = run_keeping_errors(dir, {c.source, "dst"}, launched);
        EXPECT_EQ(e.run.status, c.status);
        EXPECT_EQ(e.run.out, std::string("talvor: Je ne peux pas ouvrir ") + c.failed + "\n");
        EXPECT_EQ(e.err, std::string("talvor: ") + c.failed + ": " + c.reason + "\n");
        EXPECT_TRUE(read_file(path("src")) == source);
        EXPECT_EQ(read_file(path("dst")), old);
    }
#endif
}

} // namespace
