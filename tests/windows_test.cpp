// SPDX-License-Identifier: MIT
// What only talvor.exe does: names in UTF-16, inputs held without write
// sharing, and one run at a time on a destination.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "test_config.h"

namespace {

using Windows = ToolTest;

constexpr std::size_t MIB = std::size_t{1024} * 1024;

#define SKIP_UNLESS_WINDOWS_TOOL()                                                                 \
    if (!tool_on_windows())                                                                        \
    GTEST_SKIP() << "talvor.exe only"

// The launcher passes names that only UTF-16 can spell, each \uXXXX one unit,
// lone surrogates included; WTF-8 is how the tool prints them. Wine keeps no
// file with such a name, so the run must fail on it, naming it exactly, and
// leave alone the file whose name only looks alike (U+FFFD).
TEST_F(Windows, NamesWithLoneSurrogatesOpenNoOtherFile)
{
    SKIP_UNLESS_WINDOWS_TOOL();
#if !defined(TALVOR_TEST_LAUNCHER)
    GTEST_SKIP() << "no mingw-w64 C compiler built the launcher";
#else
    std::string insert = pattern(5000, 1);
    std::string source = pattern(70000, 2);
    write_file(path("IP.BIN"), insert);
    for (const char* name : {"src.img", "src\xEF\xBF\xBD.img", "src\xF0\x9F\x98\x80.img"})
        write_file(path(name), source);
    const std::vector<std::string> before = list_dir(dir);
    struct row {
        const char* source;
        const char* destination;
        int status;
        std::string out;
    };
    const row rows[] = {
        {"src\\uD800.img", "out.img", 253, "talvor: Je ne peux pas ouvrir src\xED\xA0\x80.img\n"},
        {"src.img", "out\\uDC00.img", 252, "talvor: Je ne peux pas ouvrir out\xED\xB0\x80.img\n"},
        {"src\\uDC00\\uD800.img", "out.img", 253,
         "talvor: Je ne peux pas ouvrir src\xED\xB0\x80\xED\xA0\x80.img\n"},
        // A pair is one code point, in four bytes.
        {"src\\uD83D\\uDE00.img", "out.img", 0, success_report("talvor")},
    };
    run_options launched;
    launched.wrapper = {TOOL_COMMAND[0], TALVOR_TEST_LAUNCHER};
    for (const row& r : rows) {
        tool_run run = run_tool(dir, {r.source, r.destination}, launched);
        EXPECT_EQ(run.status, r.status) << r.source << " " << r.destination;
        EXPECT_EQ(run.out, r.out);
        std::vector<std::string> after = before;
        if (r.status == 0) {
            after.push_back("out.img");
            std::sort(after.begin(), after.end());
            EXPECT_TRUE(read_file(path("out.img")) == expected_output(source, insert));
        }
        EXPECT_EQ(list_dir(dir), after);
        EXPECT_TRUE(read_file(path("src\xEF\xBF\xBD.img")) == source);
        std::filesystem::remove(path("out.img"));
    }
#endif
}

// Each run takes a lock on DEST before it measures it, so two runs into one
// DEST follow each other, whichever comes first, instead of mixing.
TEST_F(Windows, RunsIntoOneDestinationTakeTurns)
{
    SKIP_UNLESS_WINDOWS_TOOL();
    std::string insert = pattern(20000, 1);
    write_file(path("IP.BIN"), insert);
    const std::string sources[] = {pattern(48 * MIB, 2), pattern(32 * MIB, 3)};
    write_file(path("a"), sources[0]);
    write_file(path("b"), sources[1]);
    // Learns the tool's name before the threads share it.
    ASSERT_EQ(run({}).out, usage_screen());
    const struct {
        const char* what;
        std::size_t old_length; // 0: no DEST before the runs
    } rows[] = {{"old DEST", 40 * MIB}, {"new DEST", 0}};
    constexpr int ROUNDS = 3;
    for (const auto& r : rows)
        for (int round = 0; round < ROUNDS; ++round) {
            std::filesystem::remove(path("dst"));
            if (r.old_length > 0)
                write_file(path("dst"), std::string(r.old_length, '\xAA'));
            tool_run runs[2];
            std::thread first([&] { runs[0] = run({"a", "dst"}); });
            std::thread second([&] { runs[1] = run({"b", "dst"}); });
            first.join();
            second.join();
            for (const tool_run& t : runs) {
                EXPECT_EQ(t.status, 0) << r.what;
                EXPECT_EQ(t.out, success_report(t.name));
            }
            std::string dst = read_file(path("dst"));
            EXPECT_TRUE(dst == expected_output(sources[0], insert) ||
                        dst == expected_output(sources[1], insert))
                << r.what << ", round " << round << ": a mix of both runs";
        }
}

// An input held open without write sharing cannot become DEST, even by a path
// whose volume Wine tells apart from the input's: here a hard link through a
// drive letter of its own.
TEST_F(Windows, InputReachedThroughAnotherDriveIsNotOpenedForWriting)
{
    SKIP_UNLESS_WINDOWS_TOOL();
    const char* prefix = std::getenv("WINEPREFIX");
    if (prefix == nullptr)
        GTEST_SKIP() << "WINEPREFIX is not set: no drive letter can be added";
    std::string letter;
    for (char c = 'q'; c < 'z' && letter.empty(); ++c)
        if (!exists(std::string(prefix) + "/dosdevices/" + c + ":"))
            letter = std::string(1, c) + ":";
    ASSERT_FALSE(letter.empty());
    std::filesystem::create_directory(path("linked"));
    // Taken out of the prefix again however the case ends.
    struct drive_link {
        std::string path;
        ~drive_link()
        {
            unlink(path.c_str());
        }
    } drive{std::string(prefix) + "/dosdevices/" + letter};
    ASSERT_EQ(symlink(path("linked").c_str(), drive.path.c_str()), 0);
    std::string insert = pattern(5000, 1);
    std::string source = pattern(70000, 2);
    write_file(path("IP.BIN"), insert);
    write_file(path("src"), source);
    for (const char* input : {"src", "IP.BIN"}) {
        std::string link = path("linked/") + input;
        ASSERT_EQ(::link(path(input).c_str(), link.c_str()), 0);
        std::string destination = letter + "\\" + input;
        tool_run r = run({"src", destination});
        EXPECT_EQ(r.out, r.name + ": Je ne peux pas ouvrir " + destination + "\n");
        EXPECT_EQ(r.status, 252);
        EXPECT_TRUE(read_file(path("src")) == source);
        EXPECT_TRUE(read_file(path("IP.BIN")) == insert);
    }
}

} // namespace
