// SPDX-License-Identifier: MIT
// What standard error adds to a run: a failure's reason, a warning for an
// input that is surely a mistake, the version beside the usage screen.
// Standard output and the status stay as they always were.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>

#include "harness.h"
#include "shells.h"
#include "test_config.h"

namespace {

constexpr long long KIB = 1024;
constexpr long long MIB = 1024 * KIB;
// Sizes around a failure: a source that surely fills what is left for DEST.
constexpr long long SMALL_ROOM = 256 * KIB;
constexpr long long LARGE_SOURCE = 2 * MIB;
constexpr long long MID_BLOCK = 1000;

using Reasons = ToolTest;
using Warnings = ToolTest;
using Version = ToolTest;
using Windows = ToolTest;

// One cause of a failure, made in the test's directory.
// Which tools a cause can be made for.
enum class tools { any, posix, linux_calls, traced };

struct cause {
    const char* name;
    tools made_for;
    // Makes the cause and gives the arguments, or "" in why when it cannot be made here.
    std::function<std::vector<std::string>(std::string* why, run_options& options)> make;
    const char* verb; // "ouvrir", "lire", "ecrire"
    int status;
    // The reason after "NAME: PATH: ", PATH being the input or DEST that failed.
    const char* reason;
};

TEST_F(Reasons, EachCauseOfFailureIsToldOnStandardError)
{
    write_file(path("IP.BIN"), pattern(32768, 1));
    write_file(path("src"), pattern(LARGE_SOURCE, 2));
    std::filesystem::create_directory(path("folder"));
    const std::string piped = pattern(LARGE_SOURCE, 4);
    // A hole after its first bytes, which a probe asks about.
    const std::string holed = pattern(SMALL_ROOM, 3) + std::string(LARGE_SOURCE - SMALL_ROOM, '\0');
    const std::vector<cause> causes = {
        {"missing file", tools::any,
         [](std::string*, run_options&) {
             return std::vector<std::string>{"missing", "dst"};
         },
         "ouvrir", 253, "absent"},
        {"missing directory", tools::any,
         [](std::string*, run_options&) {
             return std::vector<std::string>{"src", "nowhere/dst"};
         },
         "ouvrir", 252, "repertoire nowhere absent"},
        {"directory as DEST", tools::any,
         [](std::string*, run_options&) {
             return std::vector<std::string>{"src", "folder"};
         },
         "ouvrir", 252, "est un repertoire"},
        {"directory as SOURCE", tools::posix,
         [](std::string*, run_options&) {
             return std::vector<std::string>{"folder", "dst"};
         },
         "lire", 250, "est un repertoire"},
        {"permission", tools::posix,
         [this](std::string* why, run_options& options) {
             write_file(path("locked"), "secret");
             chmod(path("locked").c_str(), 0);
             // As nobody, who may enter the directory but not read the file.
             chmod(dir.c_str(), 0755);
             options.as_nobody = geteuid() == 0;
             if (options.as_nobody && tool_for_anyone(why).empty())
                 options.as_nobody = false;
             return std::vector<std::string>{"locked", "dst"};
         },
         "ouvrir", 253, "permission refusee"},
        {"read-only file system", tools::posix,
         [this](std::string* why, run_options&) {
             std::string ro = mount_tmpfs("ro", "1M", why);
             if (!ro.empty() && shell("mount -o remount,ro " + ro) != 0)
                 *why = "a tmpfs cannot be made read-only here";
             return std::vector<std::string>{"src", "ro/dst"};
         },
         "ouvrir", 252, "systeme de fichiers en lecture seule"},
        {"mounted device", tools::linux_calls,
         [this](std::string* why, run_options&) {
             std::string device;
             if (shell("truncate -s 4M " + path("disk") + " && mkfs.ext2 -q -F " + path("disk") +
                       " >/dev/null 2>&1") != 0)
                 *why = "mkfs.ext2 cannot make a file system here";
             else if (!(device = attach_loop(path("disk"), why)).empty() &&
                      mount_device(device, "rw", why).empty())
                 device.clear();
             return std::vector<std::string>{"src", device};
         },
         "ouvrir", 252, "peripherique monte ou occupe"},
        // Wine writes short into the last room, and fails only when asked again.
        {"full file system", tools::any,
         [this](std::string* why, run_options&) {
             mount_tmpfs("full", std::to_string(SMALL_ROOM), why);
             return std::vector<std::string>{"src", "full/dst"};
         },
         "ecrire", 249, "plus de place"},
        {"file size limit", tools::posix,
         [](std::string*, run_options& options) {
             options.file_size_limit = SMALL_ROOM;
             return std::vector<std::string>{"src", "dst"};
         },
         "ecrire", 249, "fichier trop grand"},
        // A write cut short inside a block leaves bytes to cut back, and that
        // cut fails too: the reason stays the write's.
        {"file size limit, then a refused cut", tools::traced,
         [&piped](std::string*, run_options& options) {
             options = under_strace("ftruncate:error=EPERM");
             options.file_size_limit = SMALL_ROOM + MID_BLOCK;
             options.input = &piped;
             return std::vector<std::string>{"/dev/stdin", "dst"};
         },
         "ecrire", 249, "fichier trop grand"},
        {"I/O error writing", tools::posix,
         [this](std::string* why, run_options&) {
             mount_failfs(SMALL_ROOM, why);
             return std::vector<std::string>{"src", "failfs/unwritable-dst"};
         },
         "ecrire", 249, "erreur d'entree-sortie"},
        {"I/O error reading", tools::posix,
         [this](std::string* why, run_options&) {
             if (exists(path("failfs-backing")))
                 write_file(path("failfs-backing/unreadable-src"), pattern(LARGE_SOURCE, 3));
             else
                 *why = "no failing FUSE file system was mounted";
             return std::vector<std::string>{"failfs/unreadable-src", "dst"};
         },
         "lire", 250, "erreur d'entree-sortie"},
        // A hole probe that fails says why, of SOURCE or of DEST.
        {"hole probe of SOURCE", tools::traced,
         [this, &holed](std::string*, run_options& options) {
             write_sparse(path("holed"), holed);
             options = under_strace("lseek:error=EIO", {"holed"});
             return std::vector<std::string>{"holed", "dst"};
         },
         "lire", 250, "erreur d'entree-sortie"},
        {"hole probe of DEST", tools::traced,
         [this, &holed](std::string*, run_options& options) {
             write_sparse(path("holed-dst"), holed);
             options = under_strace("lseek:error=EIO", {"holed-dst"});
             return std::vector<std::string>{"src", "holed-dst"};
         },
         "ecrire", 249, "erreur d'entree-sortie"},
        // An old DEST that runs out of room is emptied and written again: a
        // failure then is told as itself, on the side it belongs to.
        {"restart, then a refused cut", tools::traced,
         [this](std::string*, run_options& options) {
             write_file(path("dst"), pattern(LARGE_SOURCE, 5));
             options = under_strace("write:error=ENOSPC:when=1;ftruncate:error=EPERM", {"dst"});
             return std::vector<std::string>{"src", "dst"};
         },
         "ecrire", 249, "permission refusee"},
        {"restart, then SOURCE not sought", tools::traced,
         [this](std::string*, run_options& options) {
             write_file(path("dst"), pattern(LARGE_SOURCE, 5));
             // The second seek on either file: DEST's, then SOURCE's.
             options = under_strace("write:error=ENOSPC:when=1;lseek:error=EIO:when=2",
                                    {"src", "dst"});
             return std::vector<std::string>{"src", "dst"};
         },
         "lire", 250, "erreur d'entree-sortie"},
        // A turn that cannot be taken (a lock refused) gives the system's reason.
        {"turn refused", tools::traced,
         [](std::string*, run_options& options) {
             options = under_strace("fcntl:error=EDEADLK", {"src"});
             return std::vector<std::string>{"src", "dst"};
         },
         "ecrire", 249, std::strerror(EDEADLK)},
        {"device too small", tools::posix,
         [this](std::string* why, run_options&) {
             shell("truncate -s " + std::to_string(SMALL_ROOM) + " " + path("small-disk"));
             return std::vector<std::string>{"src", attach_loop(path("small-disk"), why)};
         },
         "ecrire", 249, "peripherique trop petit pour src"},
    };
    for (const cause& c : causes) {
        SCOPED_TRACE(c.name);
        // Only the Linux host claims a device, which a mounted one refuses.
        if ((c.made_for != tools::any && tool_on_windows()) ||
            (c.made_for == tools::linux_calls && !tool_makes_linux_calls()) ||
            (c.made_for == tools::traced && (!have_program("strace") || !tool_is_native())))
            continue;
        std::string why;
        run_options options;
        std::vector<std::string> args = c.make(&why, options);
        if (!why.empty() || args.back().empty()) {
            std::printf("[  NOTE    ] %s: not made here: %s\n", c.name, why.c_str());
            continue;
        }
        errors_run r = run_keeping_errors(dir, args, options);
        bool input = std::string(c.verb) == "lire" || c.status == 253 || c.status == 254;
        std::filesystem::remove(path("dst"));
        const std::string& failed = input ? args.front() : args.back();
        const std::string& name = r.run.name;
        EXPECT_EQ(r.run.out, name + ": Je ne peux pas " + c.verb + " " + failed + "\n");
        EXPECT_EQ(r.run.status, c.status);
        EXPECT_EQ(r.err, name + ": " + failed + ": " + c.reason + "\n");
    }
}

// A same-file refusal says how DEST was found to be the input.
TEST_F(Reasons, SameFileRefusalIsToldWhy)
{
    write_file(path("IP.BIN"), "head");
    write_file(path("src"), pattern(5000, 1));
    errors_run r = run_keeping_errors(dir, {"src", "./src"});
    EXPECT_EQ(r.run.out, r.run.name + ": ./src et src sont le meme fichier\n");
    EXPECT_EQ(r.run.status, 252);
    EXPECT_EQ(r.err, r.run.name + ": ./src: partage son stockage avec src\n");
}

TEST_F(Warnings, SurelyMistakenInputsAreToldAndTheRunGoesOn)
{
    struct mistake {
        std::size_t insert;
        std::size_t source;
        std::string warning; // after "NAME: attention: ", "" for none
    };
    const mistake mistakes[] = {
        {1000, 5000, ""},
        {32768, 32768, ""},
        {0, 5000, "IP.BIN est vide, rien n'est insere"},
        {40000, 100000, "IP.BIN fait 40000 octets, seuls les 32768 premiers sont inseres"},
        {32768, 1000, "src est plus court que IP.BIN, seuls 1000 octets sont inseres"},
        {0, 0, "IP.BIN est vide, rien n'est insere"},
    };
    for (const mistake& m : mistakes) {
        SCOPED_TRACE("IP.BIN " + std::to_string(m.insert) + ", source " + std::to_string(m.source));
        std::string insert = pattern(m.insert, 1);
        std::string source = pattern(m.source, 2);
        write_file(path("IP.BIN"), insert);
        write_file(path("src"), source);
        errors_run r = run_keeping_errors(dir, {"src", "dst"});
        EXPECT_EQ(r.run.out, success_report(r.run.name));
        EXPECT_EQ(r.run.status, 0);
        EXPECT_TRUE(read_file(path("dst")) == expected_output(source, insert));
        EXPECT_EQ(r.err, m.warning.empty() ? "" : r.run.name + ": attention: " + m.warning + "\n");
    }
}

// cmd's redirection holds SOURCE open for writing while the tool runs: the
// input is known to be standard output before DEST is opened, and the
// message goes to standard error. (Another program writing an input:
// turns_test.cpp.)
TEST_F(Windows, StandardOutputOnAnInputThroughCmdIsRefused)
{
    if (!tool_on_windows())
        GTEST_SKIP() << "talvor.exe only";
    write_file(path("IP.BIN"), "head");
    std::string source = pattern(5000, 1);
    write_file(path("src"), source);
    // The tool's Windows path, as cmd is to start it and it names itself.
    std::string name = run({}).name;
    run_options held;
    held.wrapper = {"sh", "-c", "exec \"$0\" cmd /c \"$1\"", TOOL_COMMAND[0],
                    name + " src dst >> src"};
    errors_run r = run_keeping_errors(dir, {}, held);
    EXPECT_EQ(r.run.status, 253);
    EXPECT_EQ(r.run.out, "");
    EXPECT_EQ(r.err, name + ": src et la sortie standard sont le meme fichier\n");
    EXPECT_TRUE(read_file(path("src")) == source);
    EXPECT_FALSE(exists(path("dst")));
}

TEST_F(Version, UsageScreenNamesTheVersionOnStandardErrorAlone)
{
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, std::vector<std::string>{"a", "b", "c"}}) {
        errors_run r = run_keeping_errors(dir, args);
        EXPECT_EQ(r.run.out, usage_screen());
        EXPECT_EQ(r.run.status, 255);
        EXPECT_EQ(r.err, std::string("talvor ") + TALVOR_VERSION + "\n");
    }
}

} // namespace
