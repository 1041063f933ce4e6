// SPDX-License-Identifier: MIT
// A device DEST's flush and close: its late write errors come out before
// its head is laid, and a close that fails leaves DEST plainly unfinished,
// with the close's own error as the reason.
#include <algorithm>
#include <iterator>
#include <regex>
#include <sstream>

#include "faults.h"
#include "harness.h"

namespace {

constexpr std::size_t KIB = 1024;

// A device's late write errors show only once its bytes are flushed: the
// flush must come after the last write of the body and before the head
// makes it look done, as the traced calls tell in their order.
struct device_call {
    enum { WRITE, FLUSH, OTHER } kind;
    long long offset; // where a write went
};

// One traced line on the device, or OTHER; *position follows its seeks.
device_call read_device_call(const std::string& line, const std::string& device, long long size,
                             long long* position)
{
    static const std::regex call(R"(^(\w+)\(\d+<([^>]*)>(.*)\)\s+= (-?\d+))");
    std::smatch m;
    if (!std::regex_search(line, m, call) || m[2] != device || std::stoll(m[4]) < 0)
        return {device_call::OTHER, 0};
    std::string name = m[1];
    std::string args = m[3];
    long long result = std::stoll(m[4]);
    if (name == "lseek")
        *position = result;
    if (name == "fsync" || name == "fdatasync")
        return {device_call::FLUSH, 0};
    if (name == "sync_file_range") {
        // Waited for from offset 0 over the whole device (0: to its end); a
        // range over the body alone leaves the rest of the device unflushed.
        std::smatch r;
        static const std::regex range(R"(^, (\d+), (\d+), (.*))");
        bool whole = std::regex_search(args, r, range) && r[1] == "0" &&
                     (r[2] == "0" || std::stoll(r[2]) >= size) &&
                     r[3].str().find("WAIT_AFTER") != std::string::npos &&
                     r[3].str().find("WRITE") != std::string::npos;
        return {whole ? device_call::FLUSH : device_call::OTHER, 0};
    }
    if (name == "pwrite64")
        return {device_call::WRITE, std::stoll(args.substr(args.rfind(", ") + 2))};
    if (name == "write" || name == "writev") {
        long long at = *position;
        *position += result;
        return {device_call::WRITE, at};
    }
    return {device_call::OTHER, 0};
}

using DeviceFlush = ToolTest;

TEST_F(DeviceFlush, ComesAfterTheBodyAndBeforeTheHead)
{
    SKIP_UNLESS_TRACEABLE();
    constexpr std::size_t MIB = 1024 * KIB;
    std::string insert = pattern(32768, 1);
    std::string source = pattern(3 * MIB + 77, 2);
    write_file(path("IP.BIN"), insert);
    write_file(path("src"), source);
    constexpr std::size_t DISK = 8 * MIB;
    write_file(path("disk"), pattern(DISK, 3));
    std::string why;
    std::string device = attach_loop(path("disk"), &why);
    if (device.empty())
        GTEST_SKIP() << why;
    std::string log = path("order.log");
    tool_run r =
        run({"src", device}, {{"strace", "-qq", "-y", "-o", log, "-e",
                               "trace=write,writev,pwrite64,lseek,fsync,fdatasync,sync_file_range"},
                              nullptr,
                              {NO_LEAK_CHECK}});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(read_file(device).substr(0, source.size()) == expected_output(source, insert));
    std::vector<device_call> calls;
    std::istringstream lines(read_file(log));
    long long position = 0;
    for (std::string line; std::getline(lines, line);)
        calls.push_back(read_device_call(line, device, DISK, &position));
    // The head is the last write at offset 0; the body, every write before it.
    auto is_head = [](const device_call& c) {
        return c.kind == device_call::WRITE && c.offset == 0;
    };
    auto head = std::find_if(calls.rbegin(), calls.rend(), is_head);
    ASSERT_NE(head, calls.rend()) << "no write at offset 0 of " << device << ":\n"
                                  << read_file(log);
    auto body_end = std::find_if(std::next(head), calls.rend(),
                                 [](const device_call& c) { return c.kind == device_call::WRITE; });
    ASSERT_NE(body_end, calls.rend()) << "no body written before the head:\n" << read_file(log);
    bool flushed = std::any_of(std::next(head), body_end,
                               [](const device_call& c) { return c.kind == device_call::FLUSH; });
    EXPECT_TRUE(flushed) << "no flush of " << device
                         << " between its last body write and its head:\n"
                         << read_file(log);
}

// Of the calls on DEST alone: which close of it is the last close of the
// descriptor that wrote its head, and how many times it was cut; 0 closes
// if none was seen.
struct dest_calls {
    int head_writer_close;
    int cuts;
};

dest_calls count_dest_calls(const std::string& log)
{
    static const std::regex descriptor(R"(^\w+\((\d+)<)");
    std::string writer;
    dest_calls counted = {0, 0};
    int closes = 0;
    for (const traced_call& c : traced_calls(log)) {
        std::smatch m;
        std::string fd = std::regex_search(c.line, m, descriptor) ? m[1].str() : "";
        if (c.name == "write" || c.name == "pwrite64")
            writer = fd;
        counted.cuts += c.name == "ftruncate" ? 1 : 0;
        if (c.name == "close" && ++closes > 0 && fd == writer)
            counted.head_writer_close = closes;
    }
    return counted;
}

// A close that fails may have lost writes, and one that cannot first be
// undone is not tried until DEST is undone: a file is left empty, a device
// with its laid head zeroed and the rest as the run wrote it. The reason
// told is the close's, whatever the undoing met.
TEST_F(DeviceFlush, FailedCloseLeavesDestPlainlyUnfinished)
{
    SKIP_UNLESS_TRACEABLE();
    std::string insert = pattern(5000, 1);
    std::string source = pattern(70000, 2);
    write_file(path("IP.BIN"), insert);
    write_file(path("src"), source);
    std::string old = pattern(1024 * KIB, 3);
    write_file(path("disk"), old);
    std::string why;
    std::string device = attach_loop(path("disk"), &why);
    if (device.empty())
        GTEST_SKIP() << why;
    enum class fault { no_spare, failed_close, failed_close_and_undo };
    struct close_case {
        const char* what;
        bool to_device;
        fault how;
    };
    for (const close_case& c :
         {close_case{"file, no spare", false, fault::no_spare},
          close_case{"file, failed close and undo", false, fault::failed_close_and_undo},
          close_case{"device, failed close", true, fault::failed_close},
          close_case{"device, no spare", true, fault::no_spare}}) {
        SCOPED_TRACE(c.what);
        std::string dst = c.to_device ? device : path("dst");
        std::string injection = "dup:error=EMFILE";
        if (c.how != fault::no_spare) {
            std::string log;
            run_options traced;
            traced.traced_files = {dst};
            traced.trace = &log;
            tool_run clean = run({"src", dst}, traced);
            ASSERT_EQ(clean.status, 0) << clean.out;
            dest_calls counted = count_dest_calls(log);
            ASSERT_GT(counted.head_writer_close, 0) << "the close of " << dst << " was not seen:\n"
                                                    << log;
            injection = "close:error=EIO:when=" + std::to_string(counted.head_writer_close);
            // Every cut that the finished run did not make: the undoing's.
            if (c.how == fault::failed_close_and_undo)
                injection +=
                    ";ftruncate:error=EPERM:when=" + std::to_string(counted.cuts + 1) + "+";
        }
        write_file(c.to_device ? dst : path("dst"), c.to_device ? old : "");
        tool_run r = run({"src", dst}, under_strace(injection, {dst}));
        EXPECT_EQ(r.out, r.name + ": Je ne peux pas ecrire " + dst + "\n");
        EXPECT_EQ(r.status, 249);
        std::string reason =
            c.how == fault::no_spare ? injected_reason(injection) : "erreur d'entree-sortie";
        EXPECT_EQ(r.err, r.name + ": " + dst + ": " + reason + "\n");
        std::string left = read_file(dst);
        if (c.how == fault::failed_close_and_undo)
            continue; // nothing could undo it
        if (!c.to_device) {
            EXPECT_EQ(left.size(), 0U);
            continue;
        }
        std::string unfinished =
            expected_output(source, insert).replace(0, insert.size(), insert.size(), '\0') +
            old.substr(source.size());
        EXPECT_TRUE(left == unfinished) << "the device is not its copy with its head zeroed";
    }
}

} // namespace
