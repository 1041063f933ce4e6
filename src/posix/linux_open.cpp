// SPDX-License-Identifier: MIT
// How DEST is reached on Linux: looked at through O_PATH, which neither reads
// nor writes it (on overlayfs that would copy it up), then opened again from
// the look through /proc, so that no name swapped in meanwhile is; a new one
// made in the very directory looked at.
#include <fcntl.h>
#include <libgen.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "linux_walk.h"

namespace {

// Whether a directory's file system, by its device number, is devtmpfs itself
// as mountinfo tells; one mounted below it (/dev/shm) is not.
bool among_devices(dev_t directory)
{
    std::FILE* mounts = std::fopen("/proc/self/mountinfo", "re");
    // id parent major:minor root point options... - type source super-options
    char number[SYS_NAME_SIZE];
    std::snprintf(number, sizeof number, " %u:%u ", major(directory), minor(directory));
    static constexpr char DEVICES[] = " - devtmpfs ";
    char* line = nullptr;
    std::size_t capacity = 0;
    bool devices = false;
    while (mounts != nullptr && !devices && getline(&line, &capacity, mounts) > 0) {
        const char* third = std::strchr(line, ' ');
        third = third != nullptr ? std::strchr(third + 1, ' ') : nullptr;
        const char* type = std::strstr(line, " - ");
        devices = third != nullptr && std::strncmp(third, number, std::strlen(number)) == 0 &&
                  type != nullptr && std::strncmp(type, DEVICES, sizeof DEVICES - 1) == 0;
    }
    std::free(line);
    if (mounts != nullptr)
        std::fclose(mounts);
    return devices;
}

// The last element of path, "" when it ends in a slash.
const char* leaf_of(const char* path)
{
    const char* slash = std::strrchr(path, '/');
    return slash == nullptr ? path : slash + 1;
}

// A name that leads nowhere is looked at through its directory, standing for
// the file to be made there: made in a file system that an input holds, it
// would change the input's bytes. One ending in a slash is left to an open by
// name, which says why it fails.
looked look_at_directory(const char* path)
{
    looked look = {NO_FILE, facts_of_kind(file_kind::unmeasured), false, true};
    char copy[PATH_MAX];
    if (leaf_of(path)[0] == '\0' || std::strlen(path) >= sizeof copy)
        return look;
    int directory = open(dirname(std::strcpy(copy, path)), O_PATH | O_DIRECTORY | O_CLOEXEC);
    struct stat info;
    if (directory < 0 || fstat(directory, &info) != 0) {
        close_file(directory);
        return look;
    }
    look.file = directory;
    look.facts = facts_of_kind(file_kind::directory);
    look.facts.id = id_of(info);
    follow_storage(directory, info, 0, INT64_MAX, look.facts.under, {0, true, false});
    return look;
}

// A new DEST is refused on the device file system itself (REASON_NO_DEVICE):
// it would be a file in memory where a device was meant.
opened make_in_directory(int directory, const char* path)
{
    struct stat info;
    if (fstat(directory, &info) == 0 && among_devices(info.st_dev))
        return {NO_FILE, REASON_NO_DEVICE, false};
    int fd = openat(directory, leaf_of(path), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0)
        return {fd, NO_REASON, true};
    // Another program's file made there meanwhile, or a dangling symbolic
    // link, whose target is made by its name.
    return errno == EEXIST ? open_by_name(path) : opened{NO_FILE, errno, false};
}

} // namespace

looked look_at(const char* path)
{
    looked look = {NO_FILE, facts_of_kind(file_kind::unmeasured), false, false};
    int probe = open(path, O_PATH | O_CLOEXEC);
    if (probe < 0)
        return errno == ENOENT ? look_at_directory(path) : look;
    look.file = probe;
    struct stat info;
    struct statfs where = {};
    if (fstat(probe, &info) != 0 || (S_ISREG(info.st_mode) && fstatfs(probe, &where) != 0)) {
        look.facts.error = errno;
        return look;
    }
    look.facts.kind = kind_of(info);
    look.facts.id = id_of(info);
    follow_storage(probe, info, 0, INT64_MAX, look.facts.under, {0, true, true});
    look.lower_layer_only = S_ISREG(info.st_mode) && where.f_type == OVERLAYFS_SUPER_MAGIC &&
                            in_upper_layer(probe) == upper_layer::no;
    return look;
}

opened open_output(const char* path, const looked& look, output_open how)
{
    auto fd = static_cast<int>(look.file);
    if (look.absent)
        return fd >= 0 ? make_in_directory(fd, path) : open_by_name(path);
    if (fd < 0)
        return open_by_name(path);
    if (how == output_open::reader)
        return open_again(fd, O_RDONLY | O_NONBLOCK);
    if (how == output_open::emptied) {
        // Emptied at its open, its old date went with its bytes.
        opened out = open_again(fd, O_WRONLY | O_TRUNC);
        out.made = out.file != NO_FILE;
        return out;
    }
    // A file or a device is read too where it lets itself be, so that it can
    // be told apart from the inputs by reading where the walk cannot tell.
    opened out = {NO_FILE, NO_REASON, false};
    struct stat info;
    if (fstat(fd, &info) == 0 && (S_ISREG(info.st_mode) || S_ISBLK(info.st_mode)))
        out = open_again(fd, O_RDWR);
    if (out.file == NO_FILE)
        out = open_again(fd, O_WRONLY);
    // Without /proc it is opened by its name, and compared once open.
    return out.file == NO_FILE && out.error == ENOENT ? open_by_name(path) : out;
}

opened claim_device(int fd)
{
    opened claimed = open_again(fd, O_WRONLY | O_EXCL);
    // Without /proc the device is written unclaimed, as by its name.
    return claimed.file == NO_FILE && claimed.error == ENOENT ? duplicate_fd(fd) : claimed;
}
