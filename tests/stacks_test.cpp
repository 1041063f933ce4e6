// SPDX-License-Identifier: MIT
// Inputs kept whole whatever stands between DEST and them: overlays, loop
// devices and images stacked over an input, or under DEST a device in use.
// Each run is refused with its one message and reason, writes nothing at
// all but them, and leaves the inputs and the file systems under them as
// they were.
#include <unistd.h>

#include <ostream>
#include <regex>
#include <sstream>

#include "stacks_rows.h"

namespace {

struct kept_file {
    std::string path;
    std::string bytes;
};

std::vector<kept_file> keep(const std::string& dir, const std::vector<std::string>& names)
{
    std::vector<kept_file> kept;
    for (const std::string& name : names) {
        std::string full = name[0] == '/' ? name : dir + "/" + name;
        kept.push_back({full, read_file(full)});
    }
    return kept;
}

void expect_unchanged(const std::vector<kept_file>& kept)
{
    for (const kept_file& k : kept)
        EXPECT_TRUE(read_file(k.path) == k.bytes) << k.path << " was changed";
}

// Calls that write, and how strace names the descriptor each one writes to.
const char* const WRITING_CALLS = "trace=write,writev,pwrite64,pwritev,pwritev2,ftruncate,"
                                  "fallocate,copy_file_range,sendfile,splice,fsync,fdatasync,"
                                  "sync_file_range";

// The first traced call that wrote anywhere but to standard output or
// error, or "" when none did.
std::string write_elsewhere(const std::string& trace)
{
    static const std::regex call(R"(^(\d+ +)?\w+\((\d+))");
    std::istringstream lines(trace);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (std::regex_search(line, m, call) && m[2] != "1" && m[2] != "2")
            return line;
    }
    return std::string();
}

// The reason line that tells how the run was refused.
std::string reason_of(const std::string& name, const stack_paths& p)
{
    std::string why = p.how == refused::in_use         ? "peripherique monte ou occupe"
                      : p.how == refused::same_storage ? "partage son stockage avec " + p.source
                                                       : "ne peut etre distingue de " + p.source;
    return name + ": " + p.destination + ": " + why + "\n";
}

struct stack_row {
    const char* name;
    bool (StackRows::*build)(stack_paths&, std::string*);
};

// Names the row where a failure shows its parameter.
void PrintTo(const stack_row& row, std::ostream* out)
{
    *out << row.name;
}

class Stack : public StackRows, public ::testing::WithParamInterface<stack_row> {
  protected:
    // The run, its standard error and, where strace can see the tool's own
    // calls, what it wrote, kept beside the test's directory.
    tool_run run_traced(const std::string& from, const stack_paths& p, std::string* err,
                        std::string* trace)
    {
        std::string err_file = dir + ".stderr";
        std::string trace_file = dir + ".trace";
        run_options options;
        options.wrapper = {"sh", "-c", "exec \"$@\" 2>\"$0\"", err_file};
        if (have_program("strace") && tool_is_native()) {
            options.wrapper.insert(options.wrapper.end(), {"strace", "-f", "-qq", "-y", "-o",
                                                           trace_file, "-e", WRITING_CALLS});
            options.env = {NO_LEAK_CHECK};
        }
        tool_run r = run_tool(from, {p.source, p.destination}, options);
        *err = read_file(err_file);
        *trace = exists(trace_file) ? read_file(trace_file) : "";
        unlink(err_file.c_str());
        unlink(trace_file.c_str());
        return r;
    }
};

// DEST and an input are the same bytes through a stack, or DEST lies under
// a device in use: refused before anything at all is written, so that no
// kill at any instant could harm an input.
TEST_P(Stack, InputUnderneathIsRefusedUntouched)
{
    SKIP_UNLESS_POSIX_TOOL();
    SKIP_UNLESS_LINUX_CALLS("the storage under a file followed down to its devices");
    SKIP_UNLESS_ROOT();
    std::string why;
    stack_paths p;
    if (!(this->*GetParam().build)(p, &why))
        GTEST_SKIP() << why;
    std::string from = p.from.empty() ? dir : path(p.from);
    write_file(from + "/IP.BIN", pattern(32768, 1));
    std::vector<std::string> names = {p.source, "IP.BIN"};
    names.insert(names.end(), p.kept.begin(), p.kept.end());
    std::vector<kept_file> kept = keep(from, names);
    // Images once what keep read is on them; that file system alone:
    // another's pending writes are not this test's to wait for.
    for (const mounted_image& m : p.images) {
        shell("sync -f " + m.mnt);
        kept.push_back(keep(from, {m.image})[0]);
    }
    std::string dest = p.destination[0] == '/' ? p.destination : from + "/" + p.destination;
    bool existed = exists(dest);
    if (p.shows_source) {
        ASSERT_TRUE(kept[0].bytes.substr(static_cast<std::size_t>(p.offset)) == read_file(dest))
            << "the stack shows other bytes than its input";
    }
    std::string err;
    std::string trace;
    tool_run r = run_traced(from, p, &err, &trace);
    EXPECT_EQ(r.out, p.how == refused::in_use
                         ? r.name + ": Je ne peux pas ouvrir " + p.destination + "\n"
                         : same_file_refusal(r.name, p.destination, p.source));
    EXPECT_EQ(r.status, 252);
    EXPECT_EQ(err, reason_of(r.name, p));
    EXPECT_EQ(write_elsewhere(trace), "") << "a write beside the message and its reason";
    for (const mounted_image& m : p.images)
        shell("sync -f " + m.mnt);
    expect_unchanged(kept);
    EXPECT_EQ(exists(dest), existed) << "DEST was made";
    for (const mounted_image& m : p.images) {
        ASSERT_TRUE(unmount_now(m.mnt));
        std::string log = path("fsck.log");
        EXPECT_EQ(shell("e2fsck -fn " + m.image + " >" + log + " 2>&1"), 0) << read_file(log);
    }
}

// A failure before DEST is told apart (here IP.BIN unreadable) leaves DEST
// as it is: it may be an input, whose bytes a cut back would take.
TEST_F(StackRows, FailureBeforeDestIsToldApartLeavesItBe)
{
    SKIP_UNLESS_STRACE();
    SKIP_UNLESS_LINUX_CALLS("the storage under a file followed down to its devices");
    SKIP_UNLESS_ROOT();
    std::string why;
    stack_paths p;
    if (!relative_layers(p, &why))
        GTEST_SKIP() << why;
    write_file(path("IP.BIN"), pattern(32768, 1));
    std::vector<kept_file> kept = keep(dir, {p.source, "IP.BIN"});
    tool_run r = run({p.source, p.destination}, under_strace("read:error=EIO", {"IP.BIN"}));
    EXPECT_EQ(r.out, r.name + ": Je ne peux pas lire IP.BIN\n");
    EXPECT_EQ(r.status, 250);
    expect_unchanged(kept);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Stack,
    ::testing::Values(
        stack_row{"RelativeLayerNames", &StackRows::relative_layers},
        stack_row{"RelativeLayerNamesReversed", &StackRows::relative_layers_reversed},
        stack_row{"RenamedUpperLayer", &StackRows::renamed_upper_layer},
        stack_row{"CopyUnderTheUpperLayersName", &StackRows::copy_under_the_upper_layers_name},
        stack_row{"MetacopyLowerData", &StackRows::metacopy_lower_data},
        stack_row{"RedirectedDirectory", &StackRows::redirected_directory},
        stack_row{"OverlayOverAnOverlay", &StackRows::overlay_over_an_overlay},
        stack_row{"OtherMountNamespace", &StackRows::other_mount_namespace},
        stack_row{"LoopOverALoop", &StackRows::loop_over_a_loop},
        stack_row{"LoopOverAnOverlayFile", &StackRows::loop_over_an_overlay_file},
        stack_row{"LoopOverADeletedFile", &StackRows::loop_over_a_deleted_file},
        stack_row{"LoopFromAnotherNamespace", &StackRows::loop_from_another_namespace},
        stack_row{"FuseViewOfTheSource", &StackRows::fuse_view_of_the_source},
        stack_row{"DestInTheSourceImage", &StackRows::dest_in_the_source_image},
        stack_row{"DestInTheSourceDevicesMount", &StackRows::dest_in_the_source_devices_mount},
        stack_row{"DestIsTheInputsImage", &StackRows::dest_is_the_inputs_image},
        stack_row{"SecondLoopOverAMountedImage", &StackRows::second_loop_over_a_mounted_image},
        stack_row{"BtrfsMemberFile", &StackRows::btrfs_member_file},
        stack_row{"BtrfsSecondMemberUnderTheSource",
                  &StackRows::btrfs_second_member_under_the_source}),
    [](const ::testing::TestParamInfo<stack_row>& row) { return std::string(row.param.name); });

} // namespace
