// SPDX-License-Identifier: MIT
// The tool as a user meets it, on every host: screens, statuses, bytes on disk.
#include <unistd.h>

#include <filesystem>

#include "engine.h"
#include "harness.h"
#include "talvor.h"

namespace {

using Usage = ToolTest;
using Insertion = ToolTest;
using Refusal = ToolTest;
using SameFile = ToolTest;
using Names = ToolTest;

TEST_F(Usage, AnyCountButTwoShowsTheScreenAndOpensNothing)
{
    write_file(path("IP.BIN"), "head");
    write_file(path("src"), "source");
    const std::vector<std::vector<std::string>> counts = {
        {}, {"src"}, {"src", "dst", "extra"}, {"src", "dst", "x", "y"}};
    for (const auto& args : counts) {
        tool_run r = run(args);
        EXPECT_EQ(r.out, usage_screen()) << args.size() << " arguments";
        EXPECT_EQ(r.status, 255) << args.size() << " arguments";
        EXPECT_EQ(list_dir(dir), (std::vector<std::string>{"IP.BIN", "src"}));
    }
}

TEST_F(Insertion, HeadReplacedForEveryMixOfLengths)
{
    const std::size_t buffer = WORK_BUFFER_SIZE;
    const std::vector<std::size_t> insert_sizes = {0, 1, 1000, 32767, 32768, 32769, 70000};
    const std::vector<std::size_t> source_sizes = {
        0, 1, 1000, 32767, 32768, 32769, buffer - 1, buffer, buffer + 1, 2 * buffer + 3};
    unsigned salt = 1;
    for (std::size_t insert_size : insert_sizes) {
        std::string insert = pattern(insert_size, salt++);
        write_file(path("IP.BIN"), insert);
        for (std::size_t source_size : source_sizes) {
            std::string source = pattern(source_size, salt++);
            write_file(path("src.img"), source);
            tool_run r = run({"src.img", "out.img"});
            SCOPED_TRACE("IP.BIN " + std::to_string(insert_size) + ", source " +
                         std::to_string(source_size));
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.out, success_report(r.name));
            EXPECT_TRUE(read_file(path("out.img")) == expected_output(source, insert));
            EXPECT_TRUE(read_file(path("IP.BIN")) == insert);
        }
    }
}

TEST_F(Insertion, ExistingDestinationIsReplacedWhole)
{
    std::string insert = pattern(32768, 1);
    std::string source = pattern(100000, 2);
    write_file(path("IP.BIN"), insert);
    write_file(path("src"), source);
    for (std::size_t old_size : {std::size_t{10}, std::size_t{500000}}) {
        write_file(path("dst"), std::string(old_size, 'x'));
        tool_run r = run({"src", "dst"});
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(read_file(path("dst")) == expected_output(source, insert)) << old_size;
    }
}

TEST_F(Insertion, ArgumentsThatLookLikeOptionsAreFileNames)
{
    write_file(path("IP.BIN"), "XY");
    tool_run missing = run({"-h", "out"});
    EXPECT_EQ(missing.out, missing.name + ": Je ne peux pas ouvrir -h\n");
    EXPECT_EQ(missing.status, 253);
    EXPECT_FALSE(exists(path("out")));

    write_file(path("-h"), "abcdef");
    tool_run r = run({"-h", "--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(path("--help")), "XYcdef");
    EXPECT_EQ(r.out, success_report(r.name));
}

TEST_F(Refusal, OpenFailuresReportTheFirstInOrder)
{
    // IP.BIN beside the source does not count: only the current directory does.
    std::filesystem::create_directory(path("sub"));
    write_file(path("sub/IP.BIN"), "head");
    write_file(path("sub/src"), "source");
    tool_run r = run({"sub/src", "dst"});
    EXPECT_EQ(r.out, r.name + ": Je ne peux pas ouvrir IP.BIN\n");
    EXPECT_EQ(r.status, 254);
    r = run({"missing", "dst"});
    EXPECT_EQ(r.out, r.name + ": Je ne peux pas ouvrir IP.BIN\n");
    EXPECT_FALSE(exists(path("dst")));

    write_file(path("IP.BIN"), "head");
    r = run({"missing", "dst"});
    EXPECT_EQ(r.out, r.name + ": Je ne peux pas ouvrir missing\n");
    EXPECT_EQ(r.status, 253);
    EXPECT_FALSE(exists(path("dst")));

    r = run({"sub/src", "nowhere/dst"});
    EXPECT_EQ(r.out, r.name + ": Je ne peux pas ouvrir nowhere/dst\n");
    EXPECT_EQ(r.status, 252);
    EXPECT_EQ(read_file(path("sub/src")), "source");
}

// Known from the measure, before DEST is opened: an old DEST keeps its
// bytes and no new one is made.
TEST_F(Refusal, DirectoryAsAnInputIsAReadFailureBeforeDestIsTouched)
{
    struct directory_case {
        const char* source;
        const char* unreadable;
        bool old;
    };
    const directory_case cases[] = {{"folder", "folder", false},
                                    {"folder", "folder", true},
                                    {"src", "IP.BIN", false},
                                    {"src", "IP.BIN", true}};
    std::filesystem::create_directory(path("folder"));
    write_file(path("src"), pattern(5000, 1));
    for (const directory_case& c : cases) {
        SCOPED_TRACE(std::string(c.unreadable) + (c.old ? ", old DEST" : ", no DEST"));
        std::filesystem::remove_all(path("IP.BIN"));
        if (std::string(c.unreadable) == "IP.BIN")
            std::filesystem::create_directory(path("IP.BIN"));
        else
            write_file(path("IP.BIN"), "head");
        std::filesystem::remove(path("dst"));
        if (c.old)
            write_file(path("dst"), "an earlier good output");
        tool_run r = run({c.source, "dst"});
        if (tool_on_windows()) {
            // The host refuses to open a directory as a file at all.
            EXPECT_EQ(r.out, r.name + ": Je ne peux pas ouvrir " + c.unreadable + "\n");
            EXPECT_EQ(r.status, std::string(c.unreadable) == "IP.BIN" ? 254 : 253);
        } else {
            EXPECT_EQ(r.out, r.name + ": Je ne peux pas lire " + c.unreadable + "\n");
            EXPECT_EQ(r.status, 250);
        }
        EXPECT_EQ(exists(path("dst")), c.old);
        if (c.old) {
            EXPECT_EQ(read_file(path("dst")), "an earlier good output");
        }
    }
}

TEST_F(SameFile, DestinationNamingAnInputIsRefusedWhateverTheSpelling)
{
    std::string insert = pattern(40000, 3);
    std::string source = pattern(50000, 4);
    write_file(path("IP.BIN"), insert);
    write_file(path("x"), source);
    std::filesystem::create_directory(path("sub"));
    std::vector<std::string> to_source = {"x", "./x", "sub/../x"};
    std::vector<std::string> to_insert = {"IP.BIN", "./IP.BIN", "sub/../IP.BIN"};
    if (tool_on_windows()) {
        to_source.push_back("sub\\..\\x");
        to_insert.push_back("sub\\..\\IP.BIN");
    } else {
        ASSERT_EQ(symlink("x", path("soft").c_str()), 0);
        ASSERT_EQ(link(path("x").c_str(), path("hard").c_str()), 0);
        ASSERT_EQ(symlink("IP.BIN", path("soft-ip").c_str()), 0);
        ASSERT_EQ(link(path("IP.BIN").c_str(), path("hard-ip").c_str()), 0);
        to_source.insert(to_source.end(), {"soft", "hard"});
        to_insert.insert(to_insert.end(), {"soft-ip", "hard-ip"});
    }
    for (const std::string& d : to_source) {
        tool_run r = run({"x", d});
        EXPECT_EQ(r.out, r.name + ": " + d + " et x sont le meme fichier\n");
        EXPECT_EQ(r.status, 252) << d;
    }
    for (const std::string& d : to_insert) {
        tool_run r = run({"x", d});
        EXPECT_EQ(r.out, r.name + ": " + d + " et IP.BIN sont le meme fichier\n");
        EXPECT_EQ(r.status, 252) << d;
    }
    EXPECT_TRUE(read_file(path("x")) == source);
    EXPECT_TRUE(read_file(path("IP.BIN")) == insert);

    // A different file with the same content is not the same file.
    write_file(path("twin"), source);
    EXPECT_EQ(run({"x", "twin"}).status, 0);
}

TEST_F(Names, AnyScriptWorksAndIsPrintedExactly)
{
    const std::string folder = "dossier Ωμέγα ゲーム";
    const std::string source_name = "ゲーム_Ωμέγα_😀.iso";
    const std::string destination_name = "出力 é.bin";
    std::filesystem::create_directory(path(folder));
    std::string insert = pattern(32768, 1);
    std::string source = pattern(100000, 2);
    write_file(path(folder + "/IP.BIN"), insert);
    write_file(path(folder + "/" + source_name), source);
    tool_run r = run_tool(path(folder), {source_name, destination_name});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, success_report(r.name));
    EXPECT_TRUE(read_file(path(folder + "/" + destination_name)) ==
                expected_output(source, insert));

    write_file(path("IP.BIN"), insert);
    std::string absent = folder + "/absent_" + source_name;
    r = run({absent, folder + "/" + destination_name});
    EXPECT_EQ(r.out, r.name + ": Je ne peux pas ouvrir " + absent + "\n");
    EXPECT_EQ(r.status, 253);
}

TEST_F(Names, ShownAsThemselvesOnATerminal)
{
    if (!have_program("script"))
        GTEST_SKIP() << "script (bsdutils) is not installed";
    write_file(path("IP.BIN"), "head");
    // No emoji here: Wine's console cannot draw them.
    const std::string absent = "absent ゲーム_Ωμέγα_é.iso";
    std::string out = run_on_terminal(dir, {absent, "x"});
    EXPECT_NE(out.find(": Je ne peux pas ouvrir " + absent), std::string::npos) << out;
}

} // namespace
