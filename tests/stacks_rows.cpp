// SPDX-License-Identifier: MIT
#include "stacks_rows.h"

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

// A loop device's offset into its file that DEST's first block never reaches.
constexpr long long PAST_THE_FIRST_BLOCK = 256 * 1024;
// How long a holder in another namespace may take to build its stack.
constexpr int READY_MS = 5000;

} // namespace

stack_paths paths(const std::string& source, const std::string& destination, refused how,
                  long long offset)
{
    stack_paths p;
    p.source = source;
    p.destination = destination;
    p.how = how;
    p.offset = offset;
    return p;
}

void StackRows::make_layers()
{
    for (const char* d : {"d", "d/lower", "d/upper", "d/work", "d/merged"})
        mkdir(path(d).c_str(), 0755);
}

std::string StackRows::overlay_command(const std::string& extra_options)
{
    return "mount -t overlay stack -o " + extra_options + "lowerdir=" + path("d/lower") +
           ",upperdir=" + path("d/upper") + ",workdir=" + path("d/work") + " " + path("d/merged");
}

bool StackRows::relative_layers(stack_paths& p, std::string* why)
{
    make_layers();
    write_file(path("d/upper/f"), pattern(MIB, 2));
    // The mount tells them as given: their files cannot be found, only read.
    p = paths("d/upper/f", "d/merged/f", refused::reads_as_input);
    return mount_with(
        "cd d && mount -t overlay stack -o lowerdir=lower,upperdir=upper,workdir=work merged",
        path("d/merged"), why);
}

bool StackRows::relative_layers_reversed(stack_paths& p, std::string* why)
{
    bool built = relative_layers(p, why);
    p = paths("d/merged/f", "d/upper/f", refused::reads_as_input);
    return built;
}

bool StackRows::renamed_upper_layer(stack_paths& p, std::string* why)
{
    make_layers();
    write_file(path("d/upper/f"), pattern(MIB, 2));
    p = paths("d/moved/f", "d/merged/f", refused::reads_as_input);
    if (!mount_with(overlay_command(""), path("d/merged"), why))
        return false;
    *why = "cannot rename a mounted overlay's upper layer here";
    return rename(path("d/upper").c_str(), path("d/moved").c_str()) == 0;
}

// A copy of the renamed upper layer under its old name, times and sizes kept.
bool StackRows::copy_under_the_upper_layers_name(stack_paths& p, std::string* why)
{
    return renamed_upper_layer(p, why) &&
           shell("cp -a " + path("d/moved") + " " + path("d/upper")) == 0;
}

// A file whose metadata alone was copied up: its upper file holds no bytes,
// the lower one does.
bool StackRows::metacopy_lower_data(stack_paths& p, std::string* why)
{
    make_layers();
    write_file(path("d/lower/f"), pattern(MIB, 2));
    p = paths("d/merged/f", "d/lower/f", refused::reads_as_input);
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
    p = paths("d/merged/b/f", "d/lower/a/f", refused::reads_as_input);
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
    p = paths("d/om/f", "d/il/f");
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
    pid_t holder = start_holder({"unshare", "-m", "--propagation", "private", "sh", "-c",
                                 overlay_command("") + " && exec sleep 60"},
                                dir);
    std::string merged = "/proc/" + std::to_string(holder) + "/root" + path("d/merged/f");
    p = paths("d/upper/f", merged, refused::reads_as_input);
    *why = "cannot mount an overlay in a new mount namespace (unshare -m)";
    return holder > 0 && appears_within(merged, READY_MS);
}

bool StackRows::loop_over_a_loop(stack_paths& p, std::string* why)
{
    write_file(path("src"), pattern(MIB, 2));
    // Past the first block, where only following the stack down can see it.
    std::string first = attach_loop(path("src"), why);
    std::string second = first.empty() ? "" : attach_loop(first, why, PAST_THE_FIRST_BLOCK);
    p = paths("src", second, refused::same_storage, PAST_THE_FIRST_BLOCK);
    return !second.empty();
}

bool StackRows::loop_over_an_overlay_file(stack_paths& p, std::string* why)
{
    std::string mnt = mount_overlay("16M", why);
    if (mnt.empty())
        return false;
    write_file(mnt + "/f", pattern(MIB, 2));
    std::string device = attach_loop(mnt + "/f", why, PAST_THE_FIRST_BLOCK);
    p = paths("upper/u/f", device, refused::same_storage, PAST_THE_FIRST_BLOCK);
    return !device.empty();
}

// The first loop device's file has no name left but the input's: /sys
// names a deleted file, and only the device itself can say which it is.
bool StackRows::loop_over_a_deleted_file(stack_paths& p, std::string* why)
{
    write_file(path("src.img"), pattern(MIB, 2));
    link(path("src.img").c_str(), path("keep.img").c_str());
    std::string first = attach_loop(path("src.img"), why);
    unlink(path("src.img").c_str());
    std::string second = first.empty() ? "" : attach_loop(first, why, PAST_THE_FIRST_BLOCK);
    p = paths("keep.img", second, refused::same_storage, PAST_THE_FIRST_BLOCK);
    return !second.empty();
}

// A loop device set up in another mount namespace over the input, which
// that namespace alone names (here its name opens another file), and a
// second one over it here: only the first device itself can say which
// file it shows.
bool StackRows::loop_from_another_namespace(stack_paths& p, std::string* why)
{
    mkdir(path("ns").c_str(), 0755);
    write_file(path("ns/img"), pattern(MIB, 3));
    write_file(path("src"), pattern(MIB, 2));
    std::string told = path("loop-name");
    pid_t holder =
        start_holder({"unshare", "-m", "--propagation", "private", "sh", "-c",
                      "mount -t tmpfs ns " + path("ns") + " && cp " + path("src") + " " +
                          path("ns/img") + " && losetup -f --show " + path("ns/img") + " >" + told +
                          ".part && mv " + told + ".part " + told + " && exec sleep 60"},
                     dir);
    *why = "cannot attach a loop device in a new mount namespace (unshare -m)";
    if (holder <= 0 || !appears_within(told, READY_MS))
        return false;
    std::string first = read_file(told);
    first.erase(first.find_last_not_of('\n') + 1);
    detach_at_end(first);
    std::string second = attach_loop(first, why, PAST_THE_FIRST_BLOCK);
    p = paths("/proc/" + std::to_string(holder) + "/root" + path("ns/img"), second,
              refused::same_storage, PAST_THE_FIRST_BLOCK);
    p.kept = {path("ns/img")};
    return !second.empty();
}

// DEST through a FUSE file system that passes the input's own file on: its
// storage cannot be followed, and it reads exactly as the input.
bool StackRows::fuse_view_of_the_source(stack_paths& p, std::string* why)
{
    if (mount_failfs(1LL << 40, why).empty())
        return false;
    write_file(path("failfs-backing/src"), pattern(MIB, 2));
    p = paths("failfs-backing/src", "failfs/src", refused::reads_as_input);
    return true;
}

// DEST made in the file system that SOURCE, an image, holds.
bool StackRows::dest_in_the_source_image(stack_paths& p, std::string* why)
{
    p = paths("game.img", "mnt/patched.img");
    p.shows_source = false;
    p.images = {{path("mnt"), path("game.img")}};
    return make_ext4("game.img", "16M", why) && mount_image("game.img", "mnt", why);
}

// The same, SOURCE being the loop device that the file system is mounted from.
bool StackRows::dest_in_the_source_devices_mount(stack_paths& p, std::string* why)
{
    if (!make_ext4("game.img", "16M", why))
        return false;
    std::string device = attach_loop(path("game.img"), why);
    mkdir(path("mnt").c_str(), 0755);
    p = paths(device, "mnt/backup.img");
    p.shows_source = false;
    p.images = {{path("mnt"), path("game.img")}};
    return !device.empty() && mount_with("mount " + device + " " + path("mnt"), path("mnt"), why);
}

// DEST is the image whose mounted file system holds both inputs.
bool StackRows::dest_is_the_inputs_image(stack_paths& p, std::string* why)
{
    if (!make_ext4("disk.img", "16M", why) || !mount_image("disk.img", "mnt", why))
        return false;
    write_file(path("mnt/src"), pattern(MIB, 2));
    p = paths("src", path("disk.img"));
    p.shows_source = false;
    p.from = "mnt";
    p.images = {{path("mnt"), path("disk.img")}};
    return true;
}

// A second loop device over a mounted image writes under the mounted file system.
bool StackRows::second_loop_over_a_mounted_image(stack_paths& p, std::string* why)
{
    write_file(path("src"), pattern(MIB, 2));
    if (!make_ext4("disk", "16M", why) || !mount_image("disk", "mnt", why))
        return false;
    std::string second = attach_loop(path("disk"), why);
    p = paths("src", second, refused::in_use);
    p.shows_source = false;
    p.images = {{path("mnt"), path("disk")}};
    return !second.empty();
}

// A Btrfs over the loop devices of m1.img and m2.img, mounted at bm without
// access times, so that reading a file there writes nothing to the images.
bool StackRows::mount_two_device_btrfs(std::string* why)
{
    *why = "cannot make a Btrfs over two devices here (mkfs.btrfs, btrfs)";
    if (!have_program("mkfs.btrfs") || !have_program("btrfs") ||
        shell("cd " + dir + " && truncate -s 128M m1.img m2.img && mkfs.btrfs -q -f -d raid1 " +
              "-m raid1 m1.img m2.img >/dev/null 2>&1") != 0)
        return false;
    std::string first = attach_loop(path("m1.img"), why);
    std::string second = first.empty() ? "" : attach_loop(path("m2.img"), why);
    mkdir(path("bm").c_str(), 0755);
    return !second.empty() &&
           shell("btrfs device scan " + first + " " + second + " >/dev/null") == 0 &&
           mount_with("mount -o noatime " + first + " " + path("bm") + " && sync -f " +
                          path("bm"),
                      path("bm"), why);
}

// DEST is the file under one member of a mounted two-device Btrfs.
bool StackRows::btrfs_member_file(stack_paths& p, std::string* why)
{
    write_file(path("src"), pattern(MIB, 2));
    p = paths("src", "m2.img", refused::in_use);
    p.shows_source = false;
    p.kept = {path("m2.img")};
    return mount_two_device_btrfs(why);
}

// DEST is the file under the second member of the Btrfs that holds SOURCE:
// every member of it is followed, not only the one it was mounted from.
bool StackRows::btrfs_second_member_under_the_source(stack_paths& p, std::string* why)
{
    p = paths("bm/src", "m2.img");
    p.shows_source = false;
    p.kept = {path("m2.img")};
    // qemu-user answers ENOSYS to Btrfs's FS_INFO for some processors: the walk cannot follow there.
    *why = "an emulated tool's Btrfs calls are its emulator's";
    if (!tool_is_native() || !mount_two_device_btrfs(why))
        return false;
    write_file(path("bm/src"), pattern(MIB, 2));
    return shell("sync -f " + path("bm")) == 0;
}
