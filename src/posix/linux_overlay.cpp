// SPDX-License-Identifier: MIT
// Which files hold an overlayfs file's bytes: the one in the topmost of its
// layers that has it, told by /proc/self/mountinfo, and checked to be it;
// and which file systems hold only their own files' bytes.
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <iterator>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "system.h"

namespace {

constexpr int DECIMAL = 10;
// Bytes in a unit of st_blocks.
constexpr off_t STAT_BLOCK = 512;
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

// Where the overlay file that fd holds stands in its mount: its layers, and
// its path below the mount point.
struct overlay_file {
    overlay_mount mount;
    const char* rest; // "/dir/file"
    char path[PATH_MAX];
};

// False when the mount is not one of ours (another namespace's, reached
// through /proc/PID/root) or the file's path is not below its mount point.
bool locate(int fd, overlay_file& file)
{
    char name[PROC_FD_NAME_SIZE];
    std::snprintf(name, sizeof name, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(name, file.path, sizeof file.path - 1);
    long id = n > 0 ? mount_id(fd) : -1;
    if (id < 0)
        return false;
    file.path[n] = '\0';
    file.mount = find_mount(id);
    const char* point = file.mount.point;
    if (point == nullptr)
        return false;
    std::size_t prefix = std::strcmp(point, "/") == 0 ? 0 : std::strlen(point);
    file.rest = file.path + prefix;
    return std::strncmp(file.path, point, prefix) == 0 && file.rest[0] == '/';
}

// What a layer holds at the file's place.
enum class in_layer { absent, found, unknown };

// Looks in one layer, named by an absolute path that is still a directory;
// a file found must have the overlay file's size and time to be its own.
in_layer look_in_layer(const char* layer, const overlay_file& file, const struct stat& merged,
                       char* found, std::size_t size, struct stat& info)
{
    if (layer == nullptr || layer[0] != '/' || stat(layer, &info) != 0 || !S_ISDIR(info.st_mode))
        return in_layer::unknown;
    const char* root = std::strcmp(file.mount.root, "/") == 0 ? "" : file.mount.root;
    int n = std::snprintf(found, size, "%s%s%s", layer, root, file.rest);
    if (n <= 0 || static_cast<std::size_t>(n) >= size)
        return in_layer::unknown;
    if (lstat(found, &info) != 0)
        return errno == ENOENT || errno == ENOTDIR ? in_layer::absent : in_layer::unknown;
    bool same = S_ISREG(info.st_mode) && info.st_size == merged.st_size &&
                info.st_mtim.tv_sec == merged.st_mtim.tv_sec &&
                info.st_mtim.tv_nsec == merged.st_mtim.tv_nsec;
    return same ? in_layer::found : in_layer::unknown;
}

// Follows the file found in a layer: itself on an overlay, maybe.
void follow_found(const char* found, std::int64_t start, std::int64_t end, storage& under,
                  walk at)
{
    int fd = open(found, O_PATH | O_CLOEXEC);
    struct stat info;
    if (fd >= 0 && fstat(fd, &info) == 0)
        follow_storage(fd, info, start, end, under, deeper(at));
    else
        under.followed = false;
    if (fd >= 0)
        close(fd);
}

// The layers top down: the upper one first, when there is one.
const char* layer_at(const overlay_mount& mount, std::size_t k)
{
    if (mount.upper != nullptr)
        return k == 0 ? mount.upper : mount.lower[k - 1];
    return mount.lower[k];
}

// Follows the files that hold an overlay file's bytes: the one in the
// topmost layer that has it, and under a file with no data of its own (a
// copy of metadata only), the layers below too.
upper_layer follow_layers(int fd, std::int64_t start, std::int64_t end, storage& under, walk at)
{
    overlay_file file = {};
    struct stat merged;
    bool located = fstat(fd, &merged) == 0 && locate(fd, file);
    std::size_t layers = file.mount.lowers + (file.mount.upper != nullptr ? 1 : 0);
    upper_layer upper = upper_layer::unknown;
    bool found_data = false;
    for (std::size_t k = 0; located && !found_data && k < layers; ++k) {
        char found[2 * PATH_MAX];
        struct stat info;
        in_layer place =
            look_in_layer(layer_at(file.mount, k), file, merged, found, sizeof found, info);
        if (place == in_layer::unknown)
            break;
        bool top = k == 0 && file.mount.upper != nullptr;
        if (top)
            upper = place == in_layer::found ? upper_layer::yes : upper_layer::no;
        // Written, a file copies itself up: the lower layers keep their bytes.
        found_data = top && at.writing;
        if (place == in_layer::absent)
            continue;
        follow_found(found, start, end, under, at);
        // A copy of metadata only holds fewer blocks than bytes: its bytes
        // may be below, as a sparse file's would not.
        found_data = found_data || info.st_blocks * STAT_BLOCK >= info.st_size || k + 1 == layers;
    }
    std::free(file.mount.line);
    // Not found where the mount says it is: renamed layers, redirects, another namespace.
    if (!found_data) {
        under.followed = false;
        upper = upper_layer::unknown;
    }
    return upper;
}

// File systems whose files hold their own bytes: no other file's name shows
// them, nor do they show another's. The rest (network and FUSE ones among
// them) may, which cannot be followed.
// Magic numbers of file systems that the system's headers do not name.
constexpr unsigned long NTFS3_MAGIC = 0x7366746e;
constexpr unsigned long BCACHEFS_MAGIC = 0xca451a4e;
constexpr unsigned long ZFS_MAGIC = 0x2fc12fc1;
constexpr unsigned long JFS_MAGIC = 0x3153464a;
constexpr unsigned long HFSPLUS_MAGIC = 0x482b;
constexpr unsigned long CONFIGFS_MAGIC = 0x62656570;

bool holds_its_own(const struct statfs& where)
{
    static constexpr unsigned long OWN[] = {
        EXT4_SUPER_MAGIC, XFS_SUPER_MAGIC,   BTRFS_SUPER_MAGIC, TMPFS_MAGIC,
        RAMFS_MAGIC,      F2FS_SUPER_MAGIC,  MSDOS_SUPER_MAGIC, EXFAT_SUPER_MAGIC,
        NTFS3_MAGIC,      ISOFS_SUPER_MAGIC, UDF_SUPER_MAGIC,   SQUASHFS_MAGIC,
        EROFS_SUPER_MAGIC_V1,      BCACHEFS_MAGIC,    ZFS_MAGIC,         JFS_MAGIC,
        REISERFS_SUPER_MAGIC,   HFSPLUS_MAGIC,     NILFS_SUPER_MAGIC,       HUGETLBFS_MAGIC,
        PROC_SUPER_MAGIC, SYSFS_MAGIC,       DEBUGFS_MAGIC,     TRACEFS_MAGIC,
        SECURITYFS_MAGIC, CGROUP_SUPER_MAGIC, CGROUP2_SUPER_MAGIC, CONFIGFS_MAGIC,
        EFIVARFS_MAGIC,   BPF_FS_MAGIC,      PIPEFS_MAGIC,      SOCKFS_MAGIC,
        ANON_INODE_FS_MAGIC, DEVPTS_SUPER_MAGIC,
    };
    auto type = static_cast<unsigned long>(where.f_type);
    return std::find(std::begin(OWN), std::end(OWN), type) != std::end(OWN);
}

} // namespace

// A FUSE file system over a block device of its own (fuseblk, as NTFS is
// mounted) keeps its files' bytes there; one without may pass any file's on.
bool fuse_over_a_device(int fd, const struct statfs& where)
{
    struct stat info;
    return where.f_type == FUSE_SUPER_MAGIC && fstat(fd, &info) == 0 && major(info.st_dev) != 0;
}

void follow_file(int fd, std::int64_t start, std::int64_t end, storage& under, walk at)
{
    struct statfs where;
    bool told = fstatfs(fd, &where) == 0;
    if (told && where.f_type == OVERLAYFS_SUPER_MAGIC)
        (void)follow_layers(fd, start, end, under, at);
    else if (!told || (!holds_its_own(where) && !fuse_over_a_device(fd, where)))
        under.followed = false;
}

upper_layer in_upper_layer(int fd)
{
    storage under = {};
    under.followed = true;
    return follow_layers(fd, 0, INT64_MAX, under, {0, false});
}
