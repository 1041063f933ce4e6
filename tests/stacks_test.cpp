// SPDX-License-Identifier: MIT
// Inputs kept whole whatever stands between DEST and them: overlays and loop
// devices stacked over an input, a mounted image, standard output opened on
// an input, a source cut short, a kill at any write, runs that read what
// another writes, another user, another program's lock.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <ostream>

#include "stacks_harness.h"

namespace {

constexpr std::size_t KIB = 1024;
constexpr std::size_t MIB = KIB * KIB;
// Long enough for any run here on a busy machine, far below a test's 30 s.
constexpr int RUN_TIMEOUT_MS = 20000;
// The same for each of a test's several runs, whose waits add up.
constexpr int EACH_RUN_TIMEOUT_MS = 6000;

#define SKIP_UNLESS_ROOT()                                                                         \
    if (geteuid() != 0)                                                                            \
    GTEST_SKIP() << "mounts and loop devices need root"

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

// The names a stack row gives the tool, from the test's directory; the
// refusal names the source.
// A loop device's offset into its file that DEST's first block never reaches.
constexpr long long PAST_THE_FIRST_BLOCK = 256 * 1024;

struct stack_paths {
    std::string source;
    std::string destination;
    long long offset = 0; // where DEST's bytes start in SOURCE
};

// Public, for the table to name them.
class StackRows : public StackTest {
  public:
    bool relative_layers(stack_paths& p, std::string* why);
    bool relative_layers_reversed(stack_paths& p, std::string* why);
    bool renamed_upper_layer(stack_paths& p, std::string* why);
    bool metacopy_lower_data(stack_paths& p, std::string* why);
    bool redirected_directory(stack_paths& p, std::string* why);
    bool overlay_over_an_overlay(stack_paths& p, std::string* why);
    bool other_mount_namespace(stack_paths& p, std::string* why);
    bool loop_over_a_loop(stack_paths& p, std::string* why);
    bool loop_over_an_overlay_file(stack_paths& p, std::string* why);

  protected:
    // The layers d/lower, d/upper, d/work and the mount point d/merged.
    void make_layers()
    {
        for (const char* d : {"d", "d/lower", "d/upper", "d/work", "d/merged"})
            mkdir(path(d).c_str(), 0755);
    }
    // The overlay of make_layers' directories, by their full names.
    std::string overlay_command(const std::string& extra_options)
    {
        return "mount -t overlay stack -o " + extra_options + "lowerdir=" + path("d/lower") +
               ",upperdir=" + path("d/upper") + ",workdir=" + path("d/work") + " " +
               path("d/merged");
    }
};

bool StackRows::relative_layers(stack_paths& p, std::string* why)
{
    make_layers();
    write_file(path("d/upper/f"), pattern(MIB, 2));
    p = {"d/upper/f", "d/merged/f"};
    return mount_with(
        "cd d && mount -t overlay stack -o lowerdir=lower,upperdir=upper,workdir=work merged",
        path("d/merged"), why);
}

bool StackRows::relative_layers_reversed(stack_paths& p, std::string* why)
{
    bool built = relative_layers(p, why);
    p = {"d/merged/f", "d/upper/f"};
    return built;
}

bool StackRows::renamed_upper_layer(stack_paths& p, std::string* why)
{
    make_layers();
    write_file(path("d/upper/f"), pattern(MIB, 2));
    p = {"d/moved/f", "d/merged/f"};
    if (!mount_with(overlay_command(""), path("d/merged"), why))
        return false;
    *why = "cannot rename a mounted overlay's upper layer here";
    return rename(path("d/upper").c_str(), path("d/moved").c_str()) == 0;
}

// A file whose metadata alone was copied up: its upper file holds no bytes,
// the lower one does.
bool StackRows::metacopy_lower_data(stack_paths& p, std::string* why)
{
    make_layers();
    write_file(path("d/lower/f"), pattern(MIB, 2));
    p = {"d/merged/f", "d/lower/f"};
    if (!mount_with(overlay_command("metacopy=on,"), path("d/merged"), why))
        return false;
    chmod(path("d/merged/f").c_str(), 0600);
    *why = "no metadata-only copy-up here (trusted.overlay.metacopy)";
    return getxattr(path("d/upper/f").c_str(), "trusted.overlay.metacopy", nullptr, 0) >= 0;
}

// A directory renamed through the overlay is found under its old name in
// the lower layer.
bool StackRows::redirected_directory(stack_paths& p, std::string* why)
{
    make_layers();
    mkdir(path("d/lower/a").c_str(), 0755);
    write_file(path("d/lower/a/f"), pattern(MIB, 2));
    p = {"d/merged/b/f", "d/lower/a/f"};
    if (!mount_with(overlay_command("redirect_dir=on,"), path("d/merged"), why))
        return false;
    *why = "no redirected directory here (trusted.overlay.redirect)";
    return rename(path("d/merged/a").c_str(), path("d/merged/b").c_str()) == 0 &&
           getxattr(path("d/upper/b").c_str(), "trusted.overlay.redirect", nullptr, 0) >= 0;
}

bool StackRows::overlay_over_an_overlay(stack_paths& p, std::string* why)
{
    for (const char* d : {"d", "d/il", "d/iu", "d/iw", "d/im", "d/ou", "d/ow", "d/om"})
        mkdir(path(d).c_str(), 0755);
    write_file(path("d/il/f"), pattern(MIB, 2));
    p = {"d/om/f", "d/il/f"};
    auto layers = [this](const char* lower, const char* upper, const char* work) {
        return "lowerdir=" + path(lower) + ",upperdir=" + path(upper) + ",workdir=" + path(work);
    };
    return mount_with("mount -t overlay inner -o " + layers("d/il", "d/iu", "d/iw") + " " +
                          path("d/im"),
                      path("d/im"), why) &&
           mount_with("mount -t overlay outer -o " + layers("d/im", "d/ou", "d/ow") + " " +
                          path("d/om"),
                      path("d/om"), why);
}

// Mounted only in a namespace of its own, reached through its process.
bool StackRows::other_mount_namespace(stack_paths& p, std::string* why)
{
    make_layers();
    write_file(path("d/upper/f"), pattern(MIB, 2));
    constexpr int READY_MS = 5000;
    pid_t holder = start_holder({"unshare", "-m", "--propagation", "private", "sh", "-c",
                                 overlay_command("") + " && exec sleep 60"},
                                dir);
    std::string merged = "/proc/" + std::to_string(holder) + "/root" + path("d/merged/f");
    p = {"d/upper/f", merged};
    *why = "cannot mount an overlay in a new mount namespace (unshare -m)";
    return holder > 0 && appears_within(merged, READY_MS);
}

bool StackRows::loop_over_a_loop(stack_paths& p, std::string* why)
{
    write_file(path("src"), pattern(MIB, 2));
    // Past the first block, where only following the stack down can see it.
    std::string first = attach_loop(path("src"), why);
    std::string second = first.empty() ? "" : attach_loop(first, why, PAST_THE_FIRST_BLOCK);
    p = {"src", second, PAST_THE_FIRST_BLOCK};
    return !second.empty();
}

bool StackRows::loop_over_an_overlay_file(stack_paths& p, std::string* why)
{
    std::string mnt = mount_overlay("16M", why);
    if (mnt.empty())
        return false;
    write_file(mnt + "/f", pattern(MIB, 2));
    std::string device = attach_loop(mnt + "/f", why, PAST_THE_FIRST_BLOCK);
    p = {"upper/u/f", device, PAST_THE_FIRST_BLOCK};
    return !device.empty();
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

class Stack : public StackRows, public ::testing::WithParamInterface<stack_row> {};

// DEST and an input are the same bytes through a stack of overlays or loop
// devices: refused, and nothing of either changed.
TEST_P(Stack, InputUnderneathIsRefusedUntouched)
{
    SKIP_UNLESS_POSIX_TOOL();
    SKIP_UNLESS_LINUX_CALLS("the overlay's layers and the loop device's backing file");
    SKIP_UNLESS_ROOT();
    std::string why;
    stack_paths p;
    if (!(this->*GetParam().build)(p, &why))
        GTEST_SKIP() << why;
    write_file(path("IP.BIN"), pattern(32768, 1));
    std::vector<kept_file> kept = keep(dir, {p.source, p.destination, "IP.BIN"});
    ASSERT_TRUE(kept[0].bytes.substr(static_cast<std::size_t>(p.offset)) == kept[1].bytes)
        << "the stack shows other bytes than its input";
    tool_run r = run_tool_with(dir, {p.source, p.destination}, {}, RUN_TIMEOUT_MS);
    EXPECT_EQ(r.out, same_file_refusal(r.name, p.destination, p.source));
    EXPECT_EQ(r.status, 252);
    expect_unchanged(kept);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Stack,
    ::testing::Values(stack_row{"RelativeLayerNames", &StackRows::relative_layers},
                      stack_row{"RelativeLayerNamesReversed", &StackRows::relative_layers_reversed},
                      stack_row{"RenamedUpperLayer", &StackRows::renamed_upper_layer},
                      stack_row{"MetacopyLowerData", &StackRows::metacopy_lower_data},
                      stack_row{"RedirectedDirectory", &StackRows::redirected_directory},
                      stack_row{"OverlayOverAnOverlay", &StackRows::overlay_over_an_overlay},
                      stack_row{"OtherMountNamespace", &StackRows::other_mount_namespace},
                      stack_row{"LoopOverALoop", &StackRows::loop_over_a_loop},
                      stack_row{"LoopOverAnOverlayFile", &StackRows::loop_over_an_overlay_file}),
    [](const ::testing::TestParamInfo<stack_row>& row) { return std::string(row.param.name); });

using Stacks = StackTest;

// A second loop device over a mounted image writes under the mounted file
// system: refused as a device in use, the image left whole and clean.
TEST_F(Stacks, SecondLoopOverAMountedImageIsRefused)
{
    SKIP_UNLESS_POSIX_TOOL();
    SKIP_UNLESS_LINUX_CALLS("an exclusive open of a device");
    SKIP_UNLESS_ROOT();
    if (!have_program("mkfs.ext4") || !have_program("e2fsck"))
        GTEST_SKIP() << "mkfs.ext4 and e2fsck (e2fsprogs) are not installed";
    write_file(path("IP.BIN"), pattern(32768, 1));
    write_file(path("src"), pattern(MIB, 2));
    // Initialised whole now, so that nothing writes to it later behind the test's back.
    if (shell("truncate -s 16M " + path("disk") +
              " && mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 " + path("disk")) != 0)
        GTEST_SKIP() << "cannot make an ext4 image here";
    std::string why;
    std::string mounted = attach_loop(path("disk"), &why);
    std::string mnt = path("mnt");
    mkdir(mnt.c_str(), 0755);
    if (mounted.empty() || !mount_with("mount " + mounted + " " + mnt, mnt, &why))
        GTEST_SKIP() << why;
    std::string second = attach_loop(path("disk"), &why);
    if (second.empty())
        GTEST_SKIP() << why;
    // That file system alone: another's pending writes are not this test's to wait for.
    shell("sync -f " + mnt);
    std::string image = read_file(path("disk"));
    tool_run r = run_tool_with(dir, {"src", second}, {}, RUN_TIMEOUT_MS);
    EXPECT_EQ(r.out, r.name + ": Je ne peux pas ouvrir " + second + "\n");
    EXPECT_EQ(r.status, 252);
    shell("sync -f " + mnt);
    EXPECT_TRUE(read_file(path("disk")) == image) << "the mounted image was written";
    ASSERT_TRUE(unmount_now(mnt));
    EXPECT_EQ(shell("e2fsck -fn " + path("disk") + " >" + path("fsck.log") + " 2>&1"), 0)
        << read_file(path("fsck.log"));
}

// The source cut short by another program once the copy is under way: DEST
// ends where the source now does.
TEST_F(Stacks, SourceCutShortWhileReadEndsDestThere)
{
    SKIP_UNLESS_POSIX_TOOL();
    std::string shim = shim_path("cut_source");
    if (shim.empty())
        GTEST_SKIP() << "no cutting shim was built for the tool under test";
    constexpr std::size_t LENGTH = 4 * MIB;
    constexpr std::size_t CUT = 2 * MIB;
    std::string insert = pattern(32768, 1);
    write_file(path("IP.BIN"), insert);
    for (bool sparse : {true, false}) {
        SCOPED_TRACE(sparse ? "sparse" : "dense");
        std::string source = pattern(LENGTH, 2);
        if (sparse)
            std::fill(source.begin() + MIB, source.begin() + 3 * MIB, '\0');
        (sparse ? write_sparse : write_file)(path("src"), source);
        unlink(path("dst").c_str());
        child_io cut = {-1, false,
                        preloading(shim, {"TALVOR_CUT_FILE=" + path("src"),
                                          "TALVOR_CUT_LENGTH=" + std::to_string(CUT)})
                            .env};
        started_tool run = start_tool(dir, {"src", "dst"}, cut);
        bool timed_out = false;
        tool_run r = finish_tool(run, EACH_RUN_TIMEOUT_MS, &timed_out);
        ASSERT_FALSE(timed_out) << "the run never ended";
        ASSERT_EQ(read_file(path("src")).size(), CUT) << "the source was never cut";
        EXPECT_EQ(r.status, 0) << r.out;
        std::string left = read_file(path("dst"));
        EXPECT_EQ(left.size(), CUT);
        EXPECT_TRUE(left == expected_output(source.substr(0, CUT), insert));
    }
}

// Only the head's first 4096 bytes are written, and they are zeros: killed
// at any write, an old DEST of the full length must not be left with them.
TEST_F(Stacks, KilledRunNeverLeavesZerosOverAnOldDest)
{
    SKIP_UNLESS_POSIX_TOOL();
    std::string shim = shim_path("stop_on_write");
    if (shim.empty())
        GTEST_SKIP() << "no stopping shim was built for the tool under test";
    constexpr int MOST_WRITES = 32;
    std::string insert = std::string(4096, '\0') + pattern(32768 - 4096, 1);
    std::string source = pattern(4096, 2);
    std::string old = pattern(MIB, 3);
    write_file(path("IP.BIN"), insert);
    write_file(path("src"), source);
    bool finished = false;
    for (int n = 1; n <= MOST_WRITES && !finished; ++n) {
        SCOPED_TRACE("killed at write " + std::to_string(n));
        write_file(path("dst"), old);
        child_io stop = {-1, false,
                         preloading(shim, {"TALVOR_STOP_AFTER=" + std::to_string(n),
                                           "TALVOR_STOP_SIGNAL=" + std::to_string(SIGKILL)})
                             .env};
        started_tool run = start_tool(dir, {"src", "dst"}, stop);
        bool timed_out = false;
        tool_run r = finish_tool(run, EACH_RUN_TIMEOUT_MS, &timed_out);
        ASSERT_FALSE(timed_out) << "the run never ended";
        finished = r.signal == 0;
        std::string left = read_file(path("dst"));
        EXPECT_TRUE(left == old || left.size() < old.size()) << "a head of zeros over old bytes";
        if (finished) {
            EXPECT_EQ(r.status, 0) << r.out;
            EXPECT_TRUE(left == expected_output(source, insert));
        }
    }
    EXPECT_TRUE(finished) << "still killed after " << MOST_WRITES << " writes";
}

// Whether a lock on the file is shown in /proc/locks.
bool locked(const std::string& file)
{
    struct stat info;
    if (stat(file.c_str(), &info) != 0)
        return false;
    return read_file("/proc/locks").find(":" + std::to_string(info.st_ino) + " ") !=
           std::string::npos;
}

bool locked_within(const std::string& file, int ms)
{
    constexpr int STEP_MS = 10;
    for (int waited = 0; waited < ms && !locked(file); waited += STEP_MS)
        usleep(STEP_MS * 1000);
    return locked(file);
}

// Writes data to the pipe fd, giving up after ms; whether all of it went.
bool feed_within(int fd, const std::string& data, int ms)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    std::size_t done = 0;
    pollfd room = {fd, POLLOUT, 0};
    while (done < data.size() && poll(&room, 1, ms) == 1) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n > 0)
            done += static_cast<std::size_t>(n);
    }
    return done == data.size();
}

// A run whose source another run is writing waits until it is finished.
TEST_F(Stacks, RunReadingADestBeingWrittenWaitsForIt)
{
    SKIP_UNLESS_POSIX_TOOL();
    constexpr int HELD_MS = 1000;
    constexpr int START_MS = 5000;
    constexpr int FEED_MS = 5000;
    // Less than a pipe holds, so that it goes in before the run reads.
    constexpr std::size_t FIRST_PART = 48 * KIB;
    std::string insert = pattern(32768, 1);
    std::string fed = pattern(3 * MIB + 7, 2);
    write_file(path("IP.BIN"), insert);
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    int feed = open(path("fifo").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(feed, 0);
    ASSERT_TRUE(feed_within(feed, fed.substr(0, FIRST_PART), FEED_MS));
    started_tool first = start_tool(dir, {"fifo", "B"});
    EXPECT_TRUE(locked_within(path("B"), START_MS)) << "the first run never held B";
    started_tool second = start_tool(dir, {"B", "C"});
    bool waited = still_running_after(second, HELD_MS);
    EXPECT_TRUE(waited) << "read B while another run was writing it";
    EXPECT_TRUE(feed_within(feed, fed.substr(FIRST_PART), FEED_MS))
        << "the first run stopped reading";
    close(feed);
    bool timed_out = false;
    tool_run a = finish_tool(first, EACH_RUN_TIMEOUT_MS, &timed_out);
    EXPECT_FALSE(timed_out) << "fifo into B never ended";
    tool_run b = finish_tool(second, EACH_RUN_TIMEOUT_MS, &timed_out);
    EXPECT_FALSE(timed_out) << "B into C never ended";
    EXPECT_EQ(a.status, 0) << a.out;
    EXPECT_EQ(b.status, 0) << b.out;
    std::string finished = read_file(path("B"));
    EXPECT_TRUE(finished == expected_output(fed, insert));
    std::string copied = read_file(path("C"));
    EXPECT_TRUE(copied == finished)
        << "C is not the finished B: " << copied.size() << " of " << finished.size() << " bytes";
}

// Two runs, each one's source the other's DEST: forth is A into B, back B into A.
struct crossed {
    std::string a;
    std::string b;
    std::string insert;
};

// Each run ended or was refused cleanly, and each file is whole: as if the
// runs had gone one after the other, or one or both had been refused.
void expect_whole(const std::string& dir, const crossed& c, const tool_run& forth,
                  const tool_run& back)
{
    for (const tool_run& r : {forth, back})
        EXPECT_TRUE(r.status == 0 || (r.signal == 0 && r.status > 128 && !r.out.empty()))
            << r.status << ": " << r.out;
    std::string a_into_b = expected_output(c.a, c.insert);
    std::string b_into_a = expected_output(c.b, c.insert);
    std::string left_a = read_file(dir + "/A");
    std::string left_b = read_file(dir + "/B");
    bool whole = (left_a == a_into_b && left_b == a_into_b) ||
                 (left_a == b_into_a && left_b == b_into_a) || (left_a == c.a && left_b == c.b) ||
                 (left_a == c.a && left_b == a_into_b && back.status != 0) ||
                 (left_a == b_into_a && left_b == c.b && forth.status != 0);
    EXPECT_TRUE(whole) << "A or B is a mix: " << left_a.size() << " and " << left_b.size()
                       << " bytes; statuses " << forth.status << " and " << back.status;
}

// Started at once: both end, neither waiting for the other for ever.
TEST_F(Stacks, RunsOntoEachOthersSourceEndWhole)
{
    SKIP_UNLESS_POSIX_TOOL();
    constexpr int TRIALS = 4;
    crossed c = {pattern(12 * MIB, 2), pattern(8 * MIB + 5, 3), pattern(32768, 1)};
    write_file(path("IP.BIN"), c.insert);
    for (int trial = 0; trial < TRIALS; ++trial) {
        SCOPED_TRACE("trial " + std::to_string(trial));
        write_file(path("A"), c.a);
        write_file(path("B"), c.b);
        started_tool forth = start_tool(dir, {"A", "B"});
        started_tool back = start_tool(dir, {"B", "A"});
        bool stuck_forth = false;
        bool stuck_back = false;
        tool_run f = finish_tool(forth, EACH_RUN_TIMEOUT_MS, &stuck_forth);
        tool_run g = finish_tool(back, EACH_RUN_TIMEOUT_MS, &stuck_back);
        ASSERT_FALSE(stuck_forth || stuck_back) << "the runs wait for each other";
        expect_whole(dir, c, f, g);
    }
}

// Whether the process is stopped, as /proc/PID/stat tells, within ms.
bool stopped_within(pid_t pid, int ms)
{
    constexpr int STEP_MS = 10;
    std::string stat_file = "/proc/" + std::to_string(pid) + "/stat";
    for (int waited = 0; waited <= ms; waited += STEP_MS) {
        std::string line = read_file(stat_file);
        std::size_t end = line.rfind(") ");
        if (end != std::string::npos && line.compare(end + 2, 1, "T") == 0)
            return true;
        usleep(STEP_MS * 1000);
    }
    return false;
}

// The same, back started while forth is stopped half way through its copy:
// the interleaving that a start at once only meets by chance.
TEST_F(Stacks, RunOntoTheSourceOfAStoppedRunEndsWhole)
{
    SKIP_UNLESS_POSIX_TOOL();
    std::string shim = shim_path("stop_on_write");
    if (shim.empty())
        GTEST_SKIP() << "no stopping shim was built for the tool under test";
    constexpr int STOP_MS = 5000;
    constexpr int STOPPED_MS = 1000;
    // Stretches of data between holes, so that the copy takes several writes.
    std::string a(6 * MIB, '\0');
    for (std::size_t at : {std::size_t{0}, 2 * MIB, 4 * MIB})
        a.replace(at, MIB, pattern(MIB, static_cast<unsigned>(at / MIB + 2)));
    crossed c = {a, pattern(4 * MIB + 5, 9), pattern(32768, 1)};
    write_file(path("IP.BIN"), c.insert);
    write_sparse(path("A"), c.a);
    write_file(path("B"), c.b);
    child_io stopped = {
        -1, false,
        preloading(shim, {"TALVOR_STOP_AFTER=2", "TALVOR_STOP_SIGNAL=" + std::to_string(SIGSTOP)})
            .env};
    started_tool forth = start_tool(dir, {"A", "B"}, stopped);
    bool stopped_in_time = stopped_within(forth.pid, STOP_MS);
    EXPECT_TRUE(stopped_in_time) << "A into B never stopped at its second write";
    started_tool back = start_tool(dir, {"B", "A"});
    still_running_after(back, STOPPED_MS);
    kill(forth.pid, SIGCONT);
    bool stuck_forth = false;
    bool stuck_back = false;
    tool_run f = finish_tool(forth, EACH_RUN_TIMEOUT_MS, &stuck_forth);
    tool_run g = finish_tool(back, EACH_RUN_TIMEOUT_MS, &stuck_back);
    ASSERT_FALSE(stuck_forth || stuck_back) << "the runs wait for each other";
    expect_whole(dir, c, f, g);
}

// An ordinary user runs the tool on an overlay whose upper layer only root
// can reach: what the user can read and write is enough.
TEST_F(Stacks, OrdinaryUserOnAnOverlayWritesDest)
{
    SKIP_UNLESS_POSIX_TOOL();
    SKIP_UNLESS_ROOT();
    uid_t uid = 0;
    gid_t gid = 0;
    if (!nobody_ids(&uid, &gid))
        GTEST_SKIP() << "there is no user nobody";
    std::string insert = pattern(32768, 1);
    std::string source = pattern(2 * MIB + 5, 2);
    chmod(dir.c_str(), 0755);
    for (const char* d :
         {"private", "private/upper", "private/work", "lower", "lower/pub", "merged"})
        mkdir(path(d).c_str(), 0755);
    chmod(path("private").c_str(), 0700);
    chmod(path("lower/pub").c_str(), 01777);
    write_file(path("lower/pub/IP.BIN"), insert);
    write_file(path("lower/pub/src"), source);
    std::string why;
    if (!mount_with("mount -t overlay stack -o lowerdir=" + path("lower") +
                        ",upperdir=" + path("private/upper") + ",workdir=" + path("private/work") +
                        " " + path("merged"),
                    path("merged"), &why))
        GTEST_SKIP() << why;
    tool_run r = run_tool_with(path("merged/pub"), {"src", "dst"}, {-1, true, {}}, RUN_TIMEOUT_MS);
    EXPECT_EQ(r.out, success_report(r.name));
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(read_file(path("merged/pub/dst")) == expected_output(source, insert));
}

// The report's reader gone before it is written: the run had finished.
TEST_F(Stacks, ClosedReaderOfTheReportStillEndsInSuccess)
{
    SKIP_UNLESS_POSIX_TOOL();
    std::string insert = pattern(32768, 1);
    std::string source = pattern(MIB, 2);
    write_file(path("IP.BIN"), insert);
    write_file(path("src"), source);
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    close(ends[0]);
    tool_run r = run_tool_with(dir, {"src", "dst"}, {ends[1], false, {}}, RUN_TIMEOUT_MS);
    close(ends[1]);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.signal, 0);
    EXPECT_TRUE(read_file(path("dst")) == expected_output(source, insert));
}

// A FIFO DEST whose reader leaves after a little is a failed write, told.
TEST_F(Stacks, FifoDestWhoseReaderLeavesIsAFailedWrite)
{
    SKIP_UNLESS_POSIX_TOOL();
    constexpr int READER_MS = 5000;
    write_file(path("IP.BIN"), pattern(32768, 1));
    write_file(path("src"), pattern(8 * MIB, 2));
    ASSERT_EQ(mkfifo(path("dst").c_str(), 0600), 0);
    // Open before the tool, so that its open does not wait; gone after one
    // read, and never the tool's own, so that its writes find no reader.
    int reader = open(path("dst").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    int report = open(path("report").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(report, 0);
    started_tool run = start_tool(dir, {"src", "dst"}, {report, false, {}});
    close(report);
    pollfd ready = {reader, POLLIN, 0};
    EXPECT_EQ(poll(&ready, 1, READER_MS), 1) << "nothing came through DEST";
    char little[4096];
    EXPECT_GT(read(reader, little, sizeof little), 0);
    close(reader);
    bool timed_out = false;
    tool_run r = finish_tool(run, EACH_RUN_TIMEOUT_MS, &timed_out);
    EXPECT_FALSE(timed_out);
    EXPECT_EQ(r.signal, 0) << "ended by a signal";
    EXPECT_EQ(r.status, 249);
    EXPECT_EQ(read_file(path("report")), r.name + ": Je ne peux pas ecrire dst\n");
}

// A lock that another program holds on DEST is not a run's: it is not waited for.
TEST_F(Stacks, AnotherProgramsLockDoesNotHoldTheRun)
{
    SKIP_UNLESS_POSIX_TOOL();
    constexpr int LOCKED_MS = 5000;
    constexpr int WELL_BEFORE_MS = 8000; // the other program holds it 25 s
    std::string insert = pattern(32768, 1);
    std::string source = pattern(2 * MIB, 2);
    write_file(path("IP.BIN"), insert);
    write_file(path("src"), source);
    write_file(path("out.img"), pattern(3 * MIB, 3));
    pid_t other = start_holder({"sh", "-c", "exec 9>>out.img && flock 9 && exec sleep 25"}, dir);
    ASSERT_GT(other, 0);
    ASSERT_TRUE(locked_within(path("out.img"), LOCKED_MS)) << "flock never took out.img";
    started_tool run = start_tool(dir, {"src", "out.img"});
    bool timed_out = false;
    tool_run r = finish_tool(run, WELL_BEFORE_MS, &timed_out);
    EXPECT_FALSE(timed_out) << "waited for the other program's lock";
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(read_file(path("out.img")) == expected_output(source, insert));
}

// Two runs onto one block device that nothing has mounted both finish; the
// device then holds one run's output whole.
TEST_F(Stacks, TwoRunsOntoOneLoopDeviceBothFinish)
{
    SKIP_UNLESS_POSIX_TOOL();
    SKIP_UNLESS_ROOT();
    std::string insert = pattern(32768, 1);
    write_file(path("IP.BIN"), insert);
    std::string old = pattern(8 * MIB, 2);
    write_file(path("disk"), old);
    std::string why;
    std::string device = attach_loop(path("disk"), &why);
    if (device.empty())
        GTEST_SKIP() << why;
    std::vector<std::string> outputs;
    for (unsigned i = 0; i < 2; ++i) {
        std::string source = pattern(4 * MIB, i + 3);
        write_file(path("src" + std::to_string(i)), source);
        outputs.push_back(expected_output(source, insert) + old.substr(source.size()));
    }
    started_tool first = start_tool(dir, {"src0", device});
    started_tool second = start_tool(dir, {"src1", device});
    bool timed_out = false;
    for (started_tool* run : {&first, &second}) {
        tool_run r = finish_tool(*run, EACH_RUN_TIMEOUT_MS, &timed_out);
        EXPECT_FALSE(timed_out);
        EXPECT_EQ(r.status, 0) << r.out;
    }
    std::string left = read_file(path("disk"));
    EXPECT_TRUE(std::find(outputs.begin(), outputs.end(), left) != outputs.end())
        << "the device holds no one run's output";
}

} // namespace
