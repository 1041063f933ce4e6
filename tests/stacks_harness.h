// SPDX-License-Identifier: MIT
// Runs of the tool that the plain harness cannot start: standard output on a
// file of the test's choosing, as another user, in the background with a
// bounded wait; and mounts, namespaces and holders undone whatever happens.
#ifndef TALVOR_TESTS_STACKS_HARNESS_H
#define TALVOR_TESTS_STACKS_HARNESS_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "harness.h"

constexpr std::size_t KIB = 1024;
constexpr std::size_t MIB = KIB * KIB;
// Long enough for any run here on a busy machine, far below a test's 30 s.
constexpr int RUN_TIMEOUT_MS = 20000;
// The same for each of a test's several runs, whose waits add up.
constexpr int EACH_RUN_TIMEOUT_MS = 6000;

#define SKIP_UNLESS_ROOT()                                                                         \
    if (geteuid() != 0)                                                                            \
    GTEST_SKIP() << "mounts and loop devices need root"

struct child_io {
    int out = -1;                 // the tool's standard output; -1: a pipe, read into tool_run::out
    bool as_nobody = false;       // run as user nobody, no groups kept
    std::vector<std::string> env; // NAME=value added to the child's
};

// A run of the tool started and not yet waited for.
struct started_tool {
    pid_t pid = -1;
    int out = -1; // the read end of its standard output, or -1
    std::string name;
    std::string captured;
};

started_tool start_tool(const std::string& dir, const std::vector<std::string>& args,
                        const child_io& io = {});
// Whether the run is still going after ms milliseconds; it is not reaped.
bool still_running_after(started_tool& run, int ms);
// Waits for the run at most timeout_ms; one still going then is killed and
// *timed_out set.
tool_run finish_tool(started_tool& run, int timeout_ms, bool* timed_out);
// The same, started and waited for, failing the test on a timeout.
tool_run run_tool_with(const std::string& dir, const std::vector<std::string>& args,
                       const child_io& io, int timeout_ms);

// The uid and gid of user nobody; false when there is none.
bool nobody_ids(uid_t* uid, gid_t* gid);

// A test whose mounts, namespaces and background programs are undone at its
// end, in the reverse of their order, before the plain fixture's own.
class StackTest : public ToolTest {
  protected:
    void TearDown() override;
    // Runs command (a shell line, from this test's directory) that mounts
    // something at mnt; false with the reason when it fails.
    bool mount_with(const std::string& command, const std::string& mnt, std::string* why);
    // Unmounts mnt now rather than at the end.
    bool unmount_now(const std::string& mnt);
    // Starts argv in cwd, killed at the end; -1 when it cannot start.
    pid_t start_holder(const std::vector<std::string>& argv, const std::string& cwd);
    // Waits up to ms for the file at path to exist.
    bool appears_within(const std::string& path, int ms);
    // An ext4 image of size at path(name), initialised whole now, so that
    // nothing writes to it later behind the test's back.
    bool make_ext4(const std::string& name, const std::string& size, std::string* why);
    // The image mounted at path(mnt) through a loop device that its unmount frees.
    bool mount_image(const std::string& name, const std::string& mnt, std::string* why);
    // Detaches a loop device that a holder attached, once the holders are gone.
    void detach_at_end(const std::string& device);

  private:
    std::vector<std::string> own_mounts;
    std::vector<pid_t> holders;
    std::vector<std::string> own_loops;
};

#endif
