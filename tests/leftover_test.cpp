// SPDX-License-Identifier: MIT
// What a failed run leaves for build tools (a DEST older than its inputs,
// which make and ninja build again), what a run never makes (a new file
// among the devices), and what a missing name's reason says.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "harness.h"
#include "test_config.h"

namespace {

using DatedDest = ToolTest;
using NewDest = ToolTest;
using Absent = ToolTest;

constexpr long long KIB = 1024;
constexpr long long MIB = 1024 * KIB;
// The date an old DEST has before the run: a failure must put it back.
constexpr struct timespec OLD_DATE = {981173106, 789012345};

// The date a file was last written, or {-1, -1}.
struct timespec written_at(const std::string& file)
{
    struct stat info;
    return stat(file.c_str(), &info) == 0 ? info.st_mtim : timespec{-1, -1};
}

std::string shown(const struct timespec& t)
{
    return std::to_string(t.tv_sec) + "." + std::to_string(t.tv_nsec);
}

// A run whose standard error goes to file.
run_options errors_to(const std::string& file)
{
    run_options options;
    options.wrapper = {"sh", "-c", "exec \"$@\" 2>\"$0\"", file};
    return options;
}

// The tool as a shell command, for a recipe.
std::string tool_line()
{
    std::string line;
    for (const char* word : TOOL_COMMAND)
        line += std::string("'") + word + "' ";
    return line;
}

TEST_F(DatedDest, FailedOrStoppedRunLeavesDestOlderThanItsInputs)
{
    SKIP_UNLESS_POSIX_TOOL();
    write_file(path("IP.BIN"), pattern(32768, 1));
    write_file(path("src"), pattern(2 * MIB, 2));
    std::string log = path("..") + "/" + std::filesystem::path(dir).filename().string() + ".log";
    struct failure {
        const char* what;
        std::function<bool(run_options&)> make; // false: cannot be made here
        int status;
        bool existing_only;
    };
    const failure failures[] = {
        {"file size limit",
         [](run_options& o) {
             o.file_size_limit = 64 * KIB;
             return true;
         },
         249, false},
        {"stopped",
         [](run_options& o) {
             std::string shim = shim_path("stop_on_write");
             o = preloading(shim, {"TALVOR_STOP_AFTER=3", "TALVOR_STOP_SIGNAL=15"});
             return !shim.empty();
         },
         128 + 15, false},
        {"no memory",
         [](run_options& o) {
             o = preloading(shim_path("refuse_alloc"));
             return !shim_path("refuse_alloc").empty();
         },
         251, false},
        // The copy's close of DEST: the second on Linux, after the one of its look.
        {"failed close",
         [&log](run_options& o) {
             std::string copys = tool_makes_linux_calls() ? "2" : "1";
             o = {{"strace", "-qq", "-f", "-o", log, "-P", "dst", "-e", "trace=close", "-e",
                   "inject=close:error=EIO:when=" + copys},
                  nullptr,
                  {NO_LEAK_CHECK}};
             return have_program("strace") && tool_is_native();
         },
         249, true},
    };
    for (const failure& f : failures) {
        for (bool existing : {true, false}) {
            SCOPED_TRACE(std::string(f.what) + (existing ? ", old DEST" : ", new DEST"));
            run_options options;
            if (!f.make(options) || (f.existing_only && !existing))
                continue;
            std::filesystem::remove(path("dst"));
            if (existing) {
                write_file(path("dst"), pattern(3 * MIB, 3));
                const struct timespec dates[2] = {OLD_DATE, OLD_DATE};
                ASSERT_EQ(utimensat(AT_FDCWD, path("dst").c_str(), dates, 0), 0);
            }
            tool_run r = run({"src", "dst"}, options);
            EXPECT_EQ(r.status, f.status) << r.out;
            if (options.wrapper.size() > 1 && options.wrapper[0] == "strace") {
                EXPECT_NE(read_file(log).find("INJECTED"), std::string::npos) << "nothing injected";
            }
            struct timespec left = written_at(path("dst"));
            struct timespec want = existing ? OLD_DATE : timespec{0, 0};
            EXPECT_TRUE(left.tv_sec == want.tv_sec && left.tv_nsec == want.tv_nsec)
                << "dated " << shown(left) << ", not " << shown(want);
        }
    }
    std::filesystem::remove(log);
}

// As a user's build sees it: the run fails on the way (a file size limit in
// the recipe), and the next build runs it again instead of taking DEST for
// done.
TEST_F(DatedDest, MakeAndNinjaRunAFailedRecipeAgain)
{
    SKIP_UNLESS_POSIX_TOOL();
    write_file(path("IP.BIN"), pattern(32768, 1));
    write_file(path("src"), pattern(2 * MIB, 2));
    const std::string recipe = "ulimit -f 64; " + tool_line() + "src out.img";
    struct tool {
        const char* program;
        const char* file;
        std::string text;
    };
    const tool tools[] = {
        {"make", "Makefile", "out.img: src\n\t" + recipe + "\n"},
        {"ninja", "build.ninja",
         "rule insert\n  command = " + recipe + "\nbuild out.img: insert src\n"},
    };
    for (const tool& t : tools) {
        SCOPED_TRACE(t.program);
        if (!have_program(t.program))
            continue;
        std::filesystem::remove(path("out.img"));
        write_file(path(t.file), t.text);
        for (int build = 1; build <= 2; ++build) {
            std::string out = path("build.log");
            EXPECT_NE(shell("cd '" + dir + "' && " + t.program + " >'" + out + "' 2>&1"), 0);
            EXPECT_NE(read_file(out).find("Je ne peux pas ecrire out.img"), std::string::npos)
                << "build " << build << " did not run the tool:\n"
                << read_file(out);
        }
        std::filesystem::remove(path(t.file));
    }
}

// A name in the device file system that is not there is a device unplugged
// or misspelt, not a file to make in memory; file systems mounted below it,
// as /dev/shm, take new files as any other.
TEST_F(NewDest, AmongTheDevicesIsRefusedUnmade)
{
    SKIP_UNLESS_POSIX_TOOL();
    SKIP_UNLESS_LINUX_CALLS("a look at the file system a new DEST would be made on");
    write_file(path("IP.BIN"), pattern(32768, 1));
    write_file(path("src"), pattern(MIB, 2));
    std::string err = path("..") + "/" + std::filesystem::path(dir).filename().string() + ".err";
    std::string name = "talvor-unplugged-" + std::to_string(getpid());
    struct new_case {
        std::string dest;
        std::string made; // where a file made would be
        bool mounted;     // the device file system again, by another name
    };
    const new_case cases[] = {
        {"/dev/" + name, "/dev/" + name, false},
        {"devices/" + name, "/dev/" + name, true},
        {"/dev/shm/" + name, "/dev/shm/" + name, false},
    };
    mkdir(path("devices").c_str(), 0755);
    for (const new_case& c : cases) {
        SCOPED_TRACE(c.dest);
        run_options options = errors_to(err);
        // Mounted in a mount namespace of the run's own, which ends with it.
        if (c.mounted && (geteuid() != 0 || !have_program("unshare")))
            continue;
        if (c.mounted)
            options.wrapper = {"unshare", "-m", "--propagation", "private", "sh", "-c",
                               "mount -t devtmpfs none devices && exec \"$@\" 2>\"$0\"", err};
        tool_run r = run({"src", c.dest}, options);
        bool refused = c.made.rfind("/dev/shm/", 0) != 0;
        EXPECT_EQ(exists(c.made), !refused);
        std::filesystem::remove(c.made);
        if (!refused) {
            EXPECT_EQ(r.status, 0) << r.out;
            continue;
        }
        EXPECT_EQ(r.out, r.name + ": Je ne peux pas ouvrir " + c.dest + "\n");
        EXPECT_EQ(r.status, 252);
        EXPECT_EQ(read_file(err), r.name + ": " + c.dest + ": aucun peripherique de ce nom\n");
    }
    std::filesystem::remove(err);
}

// "absent" says which directory IP.BIN was looked for in, and a file there
// whose name differs by case alone; or which directory of a path is missing.
TEST_F(Absent, SaysWhereItLookedAndWhatIsMissing)
{
    SKIP_UNLESS_POSIX_TOOL();
    write_file(path("src"), pattern(MIB, 2));
    std::filesystem::create_directory(path("a"));
    const std::string here = std::filesystem::canonical(dir).string();
    std::string err = path("..") + "/" + std::filesystem::path(dir).filename().string() + ".err";
    struct absent_case {
        std::vector<std::string> args;
        const char* twins[2]; // files beside it whose names differ from IP.BIN by case
        std::string failed;
        std::string reason;
    };
    const absent_case cases[] = {
        {{"src", "dst"}, {}, "IP.BIN", "absent du repertoire " + here},
        {{"src", "dst"},
         {"ip.bin", "Ip.Bin"},
         "IP.BIN",
         "absent du repertoire " + here + " (il y a Ip.Bin)"},
        {{"a/b/src", "dst"}, {}, "a/b/src", "repertoire a/b absent"},
        {{"a/missing", "dst"}, {}, "a/missing", "absent"},
        {{"src", "a/b/c/dst"}, {}, "a/b/c/dst", "repertoire a/b absent"},
        {{"src", dir + "/nowhere/dst"},
         {},
         dir + "/nowhere/dst",
         "repertoire " + dir + "/nowhere absent"},
    };
    for (const absent_case& c : cases) {
        SCOPED_TRACE(c.failed);
        std::filesystem::remove(path("IP.BIN"));
        if (c.failed != "IP.BIN")
            write_file(path("IP.BIN"), pattern(32768, 1));
        for (const char* twin : c.twins)
            if (twin != nullptr)
                write_file(path(twin), "not this");
        tool_run r = run(c.args, errors_to(err));
        EXPECT_EQ(r.out, r.name + ": Je ne peux pas ouvrir " + c.failed + "\n");
        EXPECT_EQ(read_file(err), r.name + ": " + c.failed + ": " + c.reason + "\n");
        for (const char* twin : c.twins)
            if (twin != nullptr)
                std::filesystem::remove(path(twin));
    }
    std::filesystem::remove(err);
}

} // namespace
