// SPDX-License-Identifier: MIT
// Which file holds an overlayfs file's bytes: the topmost layer's that has it, checked to be it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "linux_walk.h"

namespace {

// Most lower layers an overlay takes.
constexpr std::size_t MOST_LOWER_LAYERS = 500;

// mountinfo escapes a byte as a backslash and three octal digits.
bool is_octal(char c)
{
    return c >= '0' && c <= '7';
}

// Undoes mountinfo's escapes in place; returns field.
char* unescape(char* field)
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
    return field;
}

// The mount ID of the open file, as /proc/self/fdinfo gives it; -1 if unknown.
long mount_id(int fd)
{
    static constexpr char KEY[] = "mnt_id:";
    char name[SYS_NAME_SIZE];
    std::snprintf(name, sizeof name, "/proc/self/fdinfo/%d", fd);
    std::FILE* info = std::fopen(name, "r");
    long id = -1;
    char line[SYS_NAME_SIZE];
    while (info != nullptr && id < 0 && std::fgets(line, sizeof line, info) != nullptr)
        if (std::strncmp(line, KEY, sizeof KEY - 1) == 0)
            id = std::strtol(line + sizeof KEY - 1, nullptr, DECIMAL);
    if (info != nullptr)
        std::fclose(info);
    return id;
}

// Where the overlay file that fd holds stands: its path, and the line of
// /proc/self/mountinfo for its mount, its fields unescaped:
//   id parent major:minor root mount-point options... - type source super-options
struct overlay_file {
    char path[PATH_MAX];
    const char* rest; // "/dir/file", below the mount point
    char* line;       // holds the fields; freed with std::free
    const char* root;
    const char* point;
    std::size_t lowers;
    const char* layer[1 + MOST_LOWER_LAYERS]; // top down: the upper one (or none), the lower ones
};

void add_lower(overlay_file& file, const char* layer)
{
    if (file.lowers < MOST_LOWER_LAYERS)
        file.layer[1 + file.lowers++] = layer;
}

// Splits lowerdir=a:b in place into its layers, undoing the backslashes
// that escape a ':' in a name; the layers after "::" hold data, no names.
void split_lowerdir(char* list, overlay_file& file)
{
    char* out = list;
    const char* layer = list;
    for (const char* in = list;; ++in) {
        if (*in == '\\' && in[1] != '\0') {
            *out++ = *++in;
        } else if (*in != ':' && *in != '\0') {
            *out++ = *in;
        } else {
            bool last = *in == '\0' || in[1] == ':';
            *out++ = '\0';
            add_lower(file, layer);
            if (last)
                return;
            layer = out;
        }
    }
}

// Reads a super-option: the layers, as lowerdir=a:b or lowerdir+=a (one at a time), and upperdir=.
void read_option(char* word, overlay_file& file)
{
    static constexpr char LOWER[] = "lowerdir=";
    static constexpr char ONE_LOWER[] = "lowerdir+=";
    static constexpr char UPPER[] = "upperdir=";
    unescape(word);
    if (std::strncmp(word, LOWER, sizeof LOWER - 1) == 0)
        split_lowerdir(word + sizeof LOWER - 1, file);
    else if (std::strncmp(word, ONE_LOWER, sizeof ONE_LOWER - 1) == 0)
        add_lower(file, word + sizeof ONE_LOWER - 1);
    else if (std::strncmp(word, UPPER, sizeof UPPER - 1) == 0)
        file.layer[0] = word + sizeof UPPER - 1;
}

void find_mount(long id, overlay_file& file)
{
    enum { ID, PARENT, DEVICE, ROOT, POINT, LEADING_FIELDS };
    std::FILE* mounts = std::fopen("/proc/self/mountinfo", "r");
    std::size_t capacity = 0;
    while (mounts != nullptr && getline(&file.line, &capacity, mounts) > 0) {
        char* rest = nullptr;
        char* field[LEADING_FIELDS] = {};
        for (int k = 0; k < LEADING_FIELDS; ++k)
            field[k] = strtok_r(k == ID ? file.line : nullptr, " \n", &rest);
        if (field[POINT] == nullptr || std::strtol(field[ID], nullptr, DECIMAL) != id)
            continue;
        for (char* word = strtok_r(nullptr, " ,\n", &rest); word != nullptr;
             word = strtok_r(nullptr, " ,\n", &rest))
            read_option(word, file);
        file.root = unescape(field[ROOT]);
        file.point = unescape(field[POINT]);
        break;
    }
    if (mounts != nullptr)
        std::fclose(mounts);
}

// False when the mount is not one of ours (another namespace's, reached
// through /proc/PID/root) or the file's path is not below its mount point.
bool locate(int fd, overlay_file& file)
{
    char name[SYS_NAME_SIZE];
    std::snprintf(name, sizeof name, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(name, file.path, sizeof file.path - 1);
    long id = n > 0 ? mount_id(fd) : -1;
    if (id < 0)
        return false;
    file.path[n] = '\0';
    find_mount(id, file);
    const char* point = file.point;
    if (point == nullptr)
        return false;
    std::size_t prefix = std::strcmp(point, "/") == 0 ? 0 : std::strlen(point);
    file.rest = file.path + prefix;
    return std::strncmp(file.path, point, prefix) == 0 && file.rest[0] == '/';
}

// What a layer holds at the file's place.
enum class in_layer { absent, found, unknown };

// Looks in one layer, named by an absolute path that is still a directory, and follows the file
// found there when it is the overlay file's own: the kernel shows a layer file's inode number
// through the overlay. A copy put under its name, or a file copied up (which shows its
// origin's), is not known to be it.
in_layer look_in_layer(const char* layer, const overlay_file& file, const struct stat& merged,
                       std::int64_t start, std::int64_t end, storage& under, walk at)
{
    struct stat info;
    if (layer == nullptr || layer[0] != '/' || stat(layer, &info) != 0 || !S_ISDIR(info.st_mode))
        return in_layer::unknown;
    const char* root = std::strcmp(file.root, "/") == 0 ? "" : file.root;
    char found[2 * PATH_MAX];
    int n = std::snprintf(found, sizeof found, "%s%s%s", layer, root, file.rest);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof found)
        return in_layer::unknown;
    int fd = open_to_ask(found, O_NOFOLLOW);
    if (fd < 0)
        return errno == ENOENT || errno == ENOTDIR ? in_layer::absent : in_layer::unknown;
    bool same = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_ino == merged.st_ino;
    if (same) {
        keep_file_under(fd, at);
        follow_storage(fd, info, start, end, under, deeper(at));
    }
    close(fd);
    return same ? in_layer::found : in_layer::unknown;
}

} // namespace

upper_layer follow_layers(int fd, std::int64_t start, std::int64_t end, storage& under, walk at)
{
    overlay_file file = {};
    struct stat merged;
    bool located = fstat(fd, &merged) == 0 && locate(fd, file);
    upper_layer upper = upper_layer::unknown;
    bool found = false;
    std::size_t top = file.layer[0] == nullptr ? 1 : 0;
    for (std::size_t k = top; located && !found && k <= file.lowers; ++k) {
        in_layer place = look_in_layer(file.layer[k], file, merged, start, end, under, at);
        if (place == in_layer::unknown)
            break;
        if (k == 0)
            upper = place == in_layer::found ? upper_layer::yes : upper_layer::no;
        // Written, a file copies itself up: the lower layers keep their bytes.
        found = place == in_layer::found || (k == 0 && at.writing);
    }
    std::free(file.line);
    // Not found where the mount says it is: renamed layers, redirects, another namespace.
    if (!found) {
        cannot_follow(under, at);
        upper = upper_layer::unknown;
    }
    return upper;
}

upper_layer in_upper_layer(int fd)
{
    storage under = {};
    return follow_layers(fd, 0, INT64_MAX, under, {0, false, true});
}
