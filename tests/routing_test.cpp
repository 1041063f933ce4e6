// SPDX-License-Identifier: MIT
// Where the tool's own texts go when a shell points a standard stream at a
// file of the run: never into it. The stream is written no more, what was
// meant for it goes to the other stream when that one is safe, and the
// status is the one the run always had.
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "harness.h"
#include "shells.h"

namespace {

using Routing = ToolTest;

constexpr std::size_t LONG_INSERT = 40000; // past what is inserted: a warning
constexpr std::size_t SOURCE_LENGTH = 70000;
const std::string OLD_DEST = "an earlier good output";

// The shells that the runs are typed into: sh everywhere, and on Windows
// cmd too, which shuts the tool out of a file that it holds for writing.
std::vector<shell_kind> shells()
{
    if (tool_on_windows())
        return {shell_kind::sh, shell_kind::cmd};
    return {shell_kind::sh};
}

const char* shell_name(shell_kind s)
{
    return s == shell_kind::sh ? "sh" : "cmd";
}

// The run's files as each case starts: a SOURCE, a long IP.BIN and an old DEST.
struct run_files {
    std::string insert = pattern(LONG_INSERT, 1);
    std::string source = pattern(SOURCE_LENGTH, 2);
};

void make_files(const run_files& files, const std::string& dir)
{
    write_file(dir + "/IP.BIN", files.insert);
    write_file(dir + "/src", files.source);
    write_file(dir + "/out", OLD_DEST);
}

std::string refusal(const std::string& name, const std::string& file)
{
    return name + ": " + file + " et la sortie standard sont le meme fichier\n";
}

// Standard output on a file of the run: refused before anything is written,
// the message on standard error, or nowhere when that is the same file.
TEST_F(Routing, StandardOutputOnAFileOfTheRunIsNeverWritten)
{
    struct row {
        const char* redirections;
        const char* file; // what standard output is
        int status;
        bool error_too; // standard error is that file as well
        bool sh_only;   // cmd has no such redirection
    };
    const row rows[] = {
        {"1<>src", "src", 253, false, true},        {">> src", "src", 253, false, false},
        {">> IP.BIN", "IP.BIN", 254, false, false}, {">> out", "out", 252, false, false},
        {">> src 2>&1", "src", 253, true, false},   {"> out 2>&1", "out", 252, true, false},
    };
    const run_files files;
    for (shell_kind s : shells())
        for (const row& r : rows) {
            if (r.sh_only && s != shell_kind::sh)
                continue;
            SCOPED_TRACE(std::string(shell_name(s)) + ": " + r.redirections);
            make_files(files, dir);
            errors_run e = run_from_shell(dir, s, {"src", "out"}, r.redirections);
            EXPECT_EQ(e.run.status, r.status);
            EXPECT_EQ(e.run.out, "");
            EXPECT_EQ(e.err, r.error_too ? "" : refusal(e.run.name, r.file));
            EXPECT_TRUE(read_file(path("IP.BIN")) == files.insert);
            EXPECT_TRUE(read_file(path("src")) == files.source);
            // The shell itself empties what > names.
            bool emptied = std::string(r.redirections).rfind("> out", 0) == 0;
            EXPECT_EQ(read_file(path("out")), emptied ? "" : OLD_DEST);
        }
    // A file that the run does not touch takes the report, as it is.
    for (shell_kind s : shells()) {
        SCOPED_TRACE(shell_name(s));
        make_files(files, dir);
        errors_run e = run_from_shell(dir, s, {"src", "out"}, "> report.txt");
        EXPECT_EQ(e.run.status, 0);
        std::string report = success_report(e.run.name);
        EXPECT_EQ(read_file(path("report.txt")),
                  tool_on_windows() ? windows_lines(report) : report);
    }
}

// DEST named as standard output is, through the system's own names for it.
TEST_F(Routing, DestThatIsStandardOutputLeavesTheMessageOnStandardError)
{
    SKIP_UNLESS_POSIX_TOOL();
    write_file(path("IP.BIN"), pattern(2048, 1));
    write_file(path("src"), pattern(50000, 2));
    // Standard output is the harness's pipe here.
    for (const char* d : {"/dev/stdout", "/dev/fd/1", "/proc/self/fd/1"}) {
        SCOPED_TRACE(d);
        errors_run e = run_keeping_errors(dir, {"src", d});
        EXPECT_EQ(e.run.status, 252);
        EXPECT_EQ(e.run.out, "");
        EXPECT_EQ(e.err, refusal(e.run.name, d));
    }
}

// Standard error on a file of the run. Through sh the run goes on, its
// warning on standard output before the report; cmd keeps the file open for
// writing, so that the run cannot hold it, and says so on standard output.
TEST_F(Routing, StandardErrorOnAFileOfTheRunIsNeverWritten)
{
    struct row {
        const char* redirections;
        const char* file;
        int refused_status; // through cmd
    };
    const row rows[] = {
        {"2>> IP.BIN", "IP.BIN", 254}, {"2>> src", "src", 253}, {"2>> out", "out", 252}};
    const run_files files;
    for (shell_kind s : shells())
        for (const row& r : rows) {
            SCOPED_TRACE(std::string(shell_name(s)) + ": " + r.redirections);
            make_files(files, dir);
            errors_run e = run_from_shell(dir, s, {"src", "out"}, r.redirections);
            const std::string& name = e.run.name;
            EXPECT_EQ(e.err, "");
            EXPECT_TRUE(read_file(path("IP.BIN")) == files.insert);
            EXPECT_TRUE(read_file(path("src")) == files.source);
            if (s == shell_kind::cmd) {
                EXPECT_EQ(e.run.status, r.refused_status);
                EXPECT_EQ(e.run.out, name + ": Je ne peux pas ouvrir " + r.file + "\n" + name +
                                         ": " + r.file + ": est la sortie d'erreur\n");
                EXPECT_EQ(read_file(path("out")), OLD_DEST);
                continue;
            }
            std::string warning = name + ": attention: IP.BIN fait 40000 octets, seuls les " +
                                  "32768 premiers sont inseres\n";
            EXPECT_EQ(e.run.status, 0);
            EXPECT_EQ(e.run.out, warning + success_report(name));
            EXPECT_TRUE(read_file(path("out")) == expected_output(files.source, files.insert));
        }
}

// A failure's reason, meant for standard error, goes to standard output.
TEST_F(Routing, ReasonOfAFailureGoesToStandardOutputWhenStandardErrorIsAnInput)
{
    const run_files files;
    make_files(files, dir);
    errors_run e = run_from_shell(dir, shell_kind::sh, {"src", "nowhere/out"}, "2>> src");
    const std::string& name = e.run.name;
    EXPECT_EQ(e.run.status, 252);
    EXPECT_EQ(e.run.out,
              name + ": Je ne peux pas ouvrir nowhere/out\n" + name +
                  ": nowhere/out: repertoire nowhere absent\n");
    EXPECT_EQ(e.err, "");
    EXPECT_TRUE(read_file(path("src")) == files.source);
}

// Streams the shell closed, whose numbers the run's files would take: their texts go nowhere, and
// none lands in a file of the run, not even a reason told while DEST is still open.
TEST_F(Routing, ClosedStandardStreamsLeaveNoTextInTheRunsFiles)
{
    SKIP_UNLESS_POSIX_TOOL();
    // Offset 0 of a process's memory is never mapped: reading it fails once DEST is open.
    const std::pair<const char*, int> sources[] = {{"src", 0}, {"/proc/self/mem", 250}};
    const run_files files;
    for (const auto& [source, status] : sources) {
        SCOPED_TRACE(source);
        make_files(files, dir);
        errors_run e = run_from_shell(dir, shell_kind::sh, {source, "out"}, "<&- >&- 2>&-");
        EXPECT_EQ(e.run.status, status);
        EXPECT_EQ(e.run.out + e.err, "");
        EXPECT_TRUE(read_file(path("IP.BIN")) == files.insert);
        EXPECT_TRUE(read_file(path("src")) == files.source);
        std::string out = read_file(path("out"));
        EXPECT_TRUE(out == (status == 0 ? expected_output(files.source, files.insert) : ""))
            << out.substr(0, 80);
    }
}

} // namespace
