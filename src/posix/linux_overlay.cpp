// SPDX-License-Identifier: MIT
// Which file holds an overlayfs file's bytes: the one in the topmost of its
// layers that has it, told by /proc/self/mountinfo.
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

#include "system.h"

namespace {

constexpr int DECIMAL = 10;
// Room for "/proc/self/fdinfo/" and any descriptor number.
constexpr std::size_t PROC_FD_NAME_SIZE = 32;
// Most lower layers an overlay takes.
constexpr std::size_t MOST_LOWER_LAYERS = 500;

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

// The line of /proc/self/mountinfo for one overlayfs mount, its fields
// unescaped:
//   id parent major:minor root mount-point options... - type source super-options
struct overlay_mount {
    bool told;  // false when mountinfo could not be read
    char* line; // holds the fields; freed with std::free
    const char* root;
    const char* point;
    const char* upper;
    std::size_t lowers;
    const char* lower[MOST_LOWER_LAYERS]; // top down
};

void add_lower(overlay_mount& mount, const char* layer)
{
    if (mount.lowers < MOST_LOWER_LAYERS)
        mount.lower[mount.lowers++] = layer;
}

// Splits lowerdir=a:b in place into its layers, undoing the backslashes
// that escape a ':' in a name; the layers after "::" hold data, no names.
void split_lowerdir(char* list, overlay_mount& mount)
{
    char* out = list;
    const char* layer = list;
    for (const char* in = list;; ++in) {
        if (*in == '\\' && in[1] != '\0') {
            *out++ = *++in;
            continue;
        }
        if (*in != ':' && *in != '\0') {
            *out++ = *in;
            continue;
        }
        bool last = *in == '\0' || in[1] == ':';
        *out++ = '\0';
        add_lower(mount, layer);
        if (last)
            return;
        layer = out;
    }
}

// Reads a super-option: the layers, as lowerdir=a:b or one lowerdir+=a at
// a time, and upperdir=.
void read_option(char* word, overlay_mount& mount)
{
    static constexpr char LOWER[] = "lowerdir=";
    static constexpr char ONE_LOWER[] = "lowerdir+=";
    static constexpr char UPPER[] = "upperdir=";
    unescape(word);
    if (std::strncmp(word, LOWER, sizeof LOWER - 1) == 0)
        split_lowerdir(word + sizeof LOWER - 1, mount);
    else if (std::strncmp(word, ONE_LOWER, sizeof ONE_LOWER - 1) == 0)
        add_lower(mount, word + sizeof ONE_LOWER - 1);
    else if (std::strncmp(word, UPPER, sizeof UPPER - 1) == 0)
        mount.upper = word + sizeof UPPER - 1;
}

overlay_mount find_mount(long id)
{
    enum { ID, PARENT, DEVICE, ROOT, POINT, LEADING_FIELDS };
    overlay_mount mount = {};
    std::FILE* mounts = std::fopen("/proc/self/mountinfo", "r");
    std::size_t capacity = 0;
    while (mounts != nullptr && getline(&mount.line, &capacity, mounts) > 0) {
        char* rest = nullptr;
        char* field[LEADING_FIELDS] = {};
        for (int k = 0; k < LEADING_FIELDS; ++k)
            field[k] = strtok_r(k == ID ? mount.line : nullptr, " \n", &rest);
        if (field[POINT] == nullptr || std::strtol(field[ID], nullptr, DECIMAL) != id)
            continue;
        for (char* word = strtok_r(nullptr, " ,\n", &rest); word != nullptr;
             word = strtok_r(nullptr, " ,\n", &rest))
            read_option(word, mount);
        unescape(field[ROOT]);
        unescape(field[POINT]);
        mount.root = field[ROOT];
        mount.point = field[POINT];
        break;
    }
    mount.told = mounts != nullptr && (mount.point != nullptr || !std::ferror(mounts));
    if (mounts != nullptr)
        std::fclose(mounts);
    return mount;
}

// The regular file at directory/root/rest; {0, 0} if there is none. A
// layer named by a relative path, as it was given to mount, is not ours to
// find.
shown_file regular_file_at(const char* directory, const char* root, const char* rest)
{
    char name[2 * PATH_MAX];
    struct stat info;
    if (directory == nullptr || directory[0] != '/')
        return {true, {0, 0}};
    int n = std::snprintf(name, sizeof name, "%s%s%s", directory,
                          std::strcmp(root, "/") == 0 ? "" : root, rest);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof name)
        return {true, {0, 0}};
    if (lstat(name, &info) != 0)
        return {errno == ENOENT || errno == ENOTDIR, {0, 0}};
    return {true, S_ISREG(info.st_mode) ? id_of(info) : file_id{0, 0}};
}

// The file that holds the overlayfs file at path, of the mount id: the one
// in the topmost layer that has it.
struct layer_file {
    bool told;  // false when /proc or a layer could not be read
    bool upper; // it is in the upper layer
    file_id id; // {0, 0} when no layer that can be reached has it
};

layer_file holding_layer(const char* path, long id)
{
    overlay_mount mount = find_mount(id);
    layer_file found = {mount.told, false, {0, 0}};
    std::size_t prefix = 0;
    if (mount.point != nullptr && std::strcmp(mount.point, "/") != 0)
        prefix = std::strlen(mount.point);
    if (mount.point != nullptr && std::strncmp(path, mount.point, prefix) == 0 &&
        path[prefix] == '/') {
        const char* rest = path + prefix;
        shown_file file = regular_file_at(mount.upper, mount.root, rest);
        found.upper = file.id.device != 0;
        for (std::size_t k = 0; file.told && file.id.device == 0 && k < mount.lowers; ++k)
            file = regular_file_at(mount.lower[k], mount.root, rest);
        found.told = file.told;
        found.id = file.id;
    }
    std::free(mount.line);
    return found;
}

// The file that holds the overlayfs file that fd holds.
layer_file layer_of(int fd)
{
    char name[PROC_FD_NAME_SIZE];
    std::snprintf(name, sizeof name, "/proc/self/fd/%d", fd);
    char path[PATH_MAX];
    ssize_t n = readlink(name, path, sizeof path - 1);
    long id = n > 0 ? mount_id(fd) : -1;
    if (id < 0)
        return {false, false, {0, 0}};
    path[n] = '\0';
    return holding_layer(path, id);
}

} // namespace

bool in_upper_layer(int probe)
{
    // Not known to be there, it is emptied: always safe, as the inputs were ruled out.
    layer_file layer = layer_of(probe);
    return layer.told && layer.upper;
}

shown_file holder_of_file(int fd)
{
    struct statfs where;
    if (fstatfs(fd, &where) != 0)
        return {false, {0, 0}};
    if (where.f_type != OVERLAYFS_SUPER_MAGIC)
        return {true, {0, 0}};
    // Layers that /proc names outside our reach, as a container's, hold
    // nothing that a name of ours can reach; a read that fails tells nothing.
    layer_file layer = layer_of(fd);
    return {layer.told, layer.id};
}
