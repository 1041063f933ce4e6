// SPDX-License-Identifier: MIT
// How DEST is reached on Linux: looked at through an O_PATH descriptor,
// which opens it neither for reading nor for writing (on overlayfs that
// would copy it up), then opened again from that look through /proc, so
// that no name swapped in meanwhile is opened; a device claimed there too.
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host.h"
#include "system.h"

namespace {

// Room for "/proc/self/fd/" and any descriptor number.
constexpr std::size_t PROC_FD_NAME_SIZE = 32;

opened reopen_probe(int probe, int flags)
{
    char name[PROC_FD_NAME_SIZE];
    std::snprintf(name, sizeof name, "/proc/self/fd/%d", probe);
    int fd = open(name, O_CLOEXEC | flags);
    // Emptied at its open, its old date went with its bytes.
    return {fd, fd < 0 ? errno : NO_REASON, fd >= 0 && (flags & O_TRUNC) != 0};
}

} // namespace

// mountinfo tells the file system of the directory by its device number.
bool new_among_devices(const char* path)
{
    const char* slash = std::strrchr(path, '/');
    std::string directory = slash == nullptr ? "." : slash == path ? "/" : std::string(path, slash);
    struct stat info;
    std::FILE* mounts =
        stat(directory.c_str(), &info) == 0 ? std::fopen("/proc/self/mountinfo", "re") : nullptr;
    // id parent major:minor root point options... - type source super-options
    char number[PROC_FD_NAME_SIZE];
    std::snprintf(number, sizeof number, " %u:%u ", major(info.st_dev), minor(info.st_dev));
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

looked look_at(const char* path)
{
    looked look = {NO_FILE, facts_of_kind(file_kind::unmeasured), false};
    int probe = open(path, O_PATH | O_CLOEXEC);
    if (probe < 0)
        return look;
    look.file = probe;
    struct stat info;
    struct statfs where = {};
    if (fstat(probe, &info) != 0 || (S_ISREG(info.st_mode) && fstatfs(probe, &where) != 0))
        return look;
    look.facts.kind = kind_of(info);
    look.facts.id = id_of(info);
    follow_storage(probe, info, 0, INT64_MAX, look.facts.under, {0, true});
    look.lower_layer_only = S_ISREG(info.st_mode) && where.f_type == OVERLAYFS_SUPER_MAGIC &&
                            in_upper_layer(probe) == upper_layer::no;
    return look;
}

opened reopen_look(int look, output_open how)
{
    if (how == output_open::reader)
        return reopen_probe(look, O_RDONLY | O_NONBLOCK);
    if (how == output_open::emptied)
        return reopen_probe(look, O_WRONLY | O_TRUNC);
    // A file or a device is read too where it lets itself be, so that its
    // first bytes can be put back if it turns out to be an input.
    struct stat info;
    bool holds_bytes =
        fstat(look, &info) == 0 && (S_ISREG(info.st_mode) || S_ISBLK(info.st_mode));
    opened out = holds_bytes ? reopen_probe(look, O_RDWR) : opened{NO_FILE, NO_REASON, false};
    return out.file != NO_FILE ? out : reopen_probe(look, O_WRONLY);
}

opened claim_device(int fd, const file_facts& device)
{
    opened claimed = reopen_probe(fd, O_WRONLY | O_EXCL);
    // Without /proc the device is written unclaimed, as by its name.
    if (claimed.file == NO_FILE && claimed.error == ENOENT)
        claimed = duplicate_fd(fd);
    if (claimed.file != NO_FILE && storage_in_use(device)) {
        close(static_cast<int>(claimed.file));
        return {NO_FILE, REASON_DEVICE_BUSY, false};
    }
    return claimed;
}
