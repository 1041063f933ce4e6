// SPDX-License-Identifier: MIT
// How DEST is opened on Linux: looked at before it is opened for writing,
// emptied on overlayfs rather than copied up, and claimed when it is a
// device.
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host.h"
#include "system.h"

namespace {

constexpr int DECIMAL = 10;

// Room for "/proc/self/fd/" and any descriptor number.
constexpr std::size_t PROC_FD_NAME_SIZE = 32;

// Opens the very file that the O_PATH descriptor holds, which no name
// swapped in meanwhile can change; errno ENOENT when /proc is missing.
int reopen_probe(int probe, int flags)
{
    char name[PROC_FD_NAME_SIZE];
    std::snprintf(name, sizeof name, "/proc/self/fd/%d", probe);
    return open(name, O_CLOEXEC | flags);
}

// mountinfo escapes a byte as a backslash and three octal digits.
bool is_octal(char c)
{
    return c >= '0' && c <= '7';
}

// Undoes mountinfo's escapes in place.
void unescape(char* field)
{
    char* out = field;
    for (const char* in = field; *in != '\0'; ++out) {
        if (in[0] == '\\' && is_octal(in[1]) && is_octal(in[2]) && is_octal(in[3])) {
            *out = static_cast<char>(((in[1] - '0') << 6) | ((in[2] - '0') << 3) | (in[3] - '0'));
            in += 4;
        } else {
            *out = *in++;
        }
    }
    *out = '\0';
}

// The mount ID of the open file, as /proc/self/fdinfo gives it; -1 if unknown.
long mount_id(int fd)
{
    static constexpr char KEY[] = "mnt_id:";
    char name[PROC_FD_NAME_SIZE];
    std::snprintf(name, sizeof name, "/proc/self/fdinfo/%d", fd);
    std::FILE* info = std::fopen(name, "r");
    long id = -1;
    char line[PROC_FD_NAME_SIZE * 4];
    while (info != nullptr && id < 0 && std::fgets(line, sizeof line, info) != nullptr)
        if (std::strncmp(line, KEY, sizeof KEY - 1) == 0)
            id = std::strtol(line + sizeof KEY - 1, nullptr, DECIMAL);
    if (info != nullptr)
        std::fclose(info);
    return id;
}

// Writes to upper where the file at path would be in the upper layer of the
// overlayfs mount id, from its line in /proc/self/mountinfo:
//   id parent major:minor root mount-point options... - type source super-options
bool upper_layer_path(const char* path, long id, char* upper, std::size_t size)
{
    static constexpr char KEY[] = "upperdir=";
    enum { ID, PARENT, DEVICE, ROOT, POINT, LEADING_FIELDS };
    std::FILE* mounts = std::fopen("/proc/self/mountinfo", "r");
    char* line = nullptr;
    std::size_t capacity = 0;
    bool found = false;
    while (mounts != nullptr && !found && getline(&line, &capacity, mounts) > 0) {
        char* rest = nullptr;
        char* field[LEADING_FIELDS] = {};
        for (int k = 0; k < LEADING_FIELDS; ++k)
            field[k] = strtok_r(k == ID ? line : nullptr, " \n", &rest);
        if (field[POINT] == nullptr || std::strtol(field[ID], nullptr, DECIMAL) != id)
            continue;
        char* directory = nullptr;
        for (char* word = strtok_r(nullptr, " ,\n", &rest); word != nullptr;
             word = strtok_r(nullptr, " ,\n", &rest))
            if (std::strncmp(word, KEY, sizeof KEY - 1) == 0)
                directory = word + sizeof KEY - 1;
        char* root = field[ROOT];
        char* point = field[POINT];
        unescape(root);
        unescape(point);
        std::size_t prefix = std::strcmp(point, "/") == 0 ? 0 : std::strlen(point);
        found =
            directory != nullptr && std::strncmp(path, point, prefix) == 0 && path[prefix] == '/';
        if (found) {
            unescape(directory);
            int n = std::snprintf(upper, size, "%s%s%s", directory,
                                  std::strcmp(root, "/") == 0 ? "" : root, path + prefix);
            found = n > 0 && static_cast<std::size_t>(n) < size;
        }
        break;
    }
    std::free(line);
    if (mounts != nullptr)
        std::fclose(mounts);
    return found;
}

// Whether the overlayfs file that probe holds is in the upper layer already;
// false when /proc cannot tell, as in a container whose upper layer lies
// outside it: emptying is always safe here, as the inputs were ruled out.
bool in_upper_layer(int probe)
{
    char name[PROC_FD_NAME_SIZE];
    std::snprintf(name, sizeof name, "/proc/self/fd/%d", probe);
    char path[PATH_MAX];
    ssize_t n = readlink(name, path, sizeof path - 1);
    if (n <= 0)
        return false;
    path[n] = '\0';
    char upper[2 * PATH_MAX];
    struct stat there;
    return upper_layer_path(path, mount_id(probe), upper, sizeof upper) &&
           lstat(upper, &there) == 0 && S_ISREG(there.st_mode);
}

// How the destination is to be opened for writing.
enum class reopen { in_place, emptied, claimed, unmeasured };

// An overlayfs file only in a lower layer is copied up to be written, with
// its old bytes unless that same open empties it; they are not wanted, so it
// is emptied. One already in the upper layer is rewritten in place. A block
// device is claimed, as mkfs does: one mounted or held by another run is
// refused.
reopen how_to_reopen(int probe, const struct stat& info)
{
    struct statfs where;
    if (S_ISBLK(info.st_mode))
        return reopen::claimed;
    if (!S_ISREG(info.st_mode))
        return reopen::in_place;
    if (fstatfs(probe, &where) != 0)
        return reopen::unmeasured;
    return where.f_type == OVERLAYFS_SUPER_MAGIC && !in_upper_layer(probe) ? reopen::emptied
                                                                           : reopen::in_place;
}

// Empties the file that probe holds only once this run holds it, through a
// read-only open, which copies nothing up; that open stays until the process
// ends, and the hold with it.
early_open reopen_emptied(int probe, early_open early, progress_line& line)
{
    int holder = reopen_probe(probe, O_RDONLY | O_NONBLOCK);
    hold h = holder >= 0 ? hold_for_run(holder, line) : hold::unheld;
    if (h == hold::failed) {
        close(holder);
        early.verdict = open_verdict::unmeasured;
        return early;
    }
    early.held = h == hold::held;
    early.fd = reopen_probe(probe, O_WRONLY | O_TRUNC);
    return early;
}

// Opens for writing the file that probe holds, unless it is an input.
early_open reopen_unless_input(int probe, const file_facts* inputs, std::size_t count,
                               progress_line& line)
{
    early_open early = {open_verdict::unmeasured, -1, count, false};
    struct stat found;
    if (fstat(probe, &found) != 0)
        return early;
    file_facts named = {};
    named.id = id_of(found);
    early.input = input_index(named, inputs, count);
    if (early.input < count) {
        early.verdict = open_verdict::same_as_input;
        return early;
    }
    reopen how = how_to_reopen(probe, found);
    if (how == reopen::unmeasured)
        return early;
    early.verdict = open_verdict::opened;
    if (how == reopen::emptied)
        return reopen_emptied(probe, early, line);
    early.fd = reopen_probe(probe, O_WRONLY | (how == reopen::claimed ? O_EXCL : 0));
    return early;
}

} // namespace

early_open open_after_look(const char* path, const file_facts* inputs, std::size_t count,
                           progress_line& line)
{
    // Compared before any open for writing, which on overlayfs would copy an
    // input up even when the run is then refused.
    int probe = open(path, O_PATH | O_CLOEXEC);
    if (probe < 0)
        return {open_verdict::opened, -1, count, false};
    early_open early = reopen_unless_input(probe, inputs, count, line);
    int error = errno;
    close(probe);
    // Without /proc the file is opened by its name, and checked as open.
    if (early.verdict == open_verdict::opened && early.fd < 0 && error != ENOENT)
        early.verdict = open_verdict::cannot_open;
    return early;
}
