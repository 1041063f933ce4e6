// SPDX-License-Identifier: MIT
/* A FUSE file system for the tests: it shows the files of a backing directory
 * and fails with EIO every write that reaches past LIMIT bytes into a file
 * whose name starts with "unwritable", and every such read from a file whose
 * name starts with "unreadable". A name "shifted-NAME" shows the backing file
 * NAME from LIMIT bytes on, as a pass-through view at an offset would. Like
 * many FUSE file systems it reports no holes, whatever the backing files hold.
 *
 *   failfs BACKING LIMIT MOUNTPOINT [FUSE options]
 */
#define FUSE_USE_VERSION 31
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

struct failfs {
    int backing; /* the backing directory, which paths are resolved under */
    off_t limit;
};

static struct failfs* state(void)
{
    return fuse_get_context()->private_data;
}

static const char SHIFTED[] = "shifted-";

/* "/name" as the backing directory's "name", "." for the root; "/shifted-name" as "name". */
static const char* relative(const char* path)
{
    if (strncmp(path + 1, SHIFTED, sizeof SHIFTED - 1) == 0)
        return path + sizeof SHIFTED;
    return path[1] == '\0' ? "." : path + 1;
}

/* How far into its backing file a name shows it. */
static off_t shift(const char* path)
{
    return strncmp(path + 1, SHIFTED, sizeof SHIFTED - 1) == 0 ? state()->limit : 0;
}

static int fails_past_limit(const char* path, const char* prefix, off_t offset, size_t size)
{
    const char* name = strrchr(path, '/') + 1;
    return strncmp(name, prefix, strlen(prefix)) == 0 && offset + (off_t)size > state()->limit;
}

static int fs_getattr(const char* path, struct stat* info, struct fuse_file_info* fi)
{
    int done = fi != NULL ? fstat((int)fi->fh, info)
                          : fstatat(state()->backing, relative(path), info, AT_SYMLINK_NOFOLLOW);
    if (done == 0 && S_ISREG(info->st_mode))
        info->st_size = info->st_size > shift(path) ? info->st_size - shift(path) : 0;
    return done == 0 ? 0 : -errno;
}

static int fs_open(const char* path, struct fuse_file_info* fi)
{
    int fd = openat(state()->backing, relative(path), fi->flags);
    if (fd < 0)
        return -errno;
    fi->fh = (uint64_t)fd;
    return 0;
}

static int fs_create(const char* path, mode_t mode, struct fuse_file_info* fi)
{
    int fd = openat(state()->backing, relative(path), fi->flags | O_CREAT, mode);
    if (fd < 0)
        return -errno;
    fi->fh = (uint64_t)fd;
    return 0;
}

static int fs_read(const char* path, char* buf, size_t size, off_t offset,
                   struct fuse_file_info* fi)
{
    if (fails_past_limit(path, "unreadable", offset, size))
        return -EIO;
    ssize_t n = pread((int)fi->fh, buf, size, offset + shift(path));
    return n >= 0 ? (int)n : -errno;
}

static int fs_write(const char* path, const char* buf, size_t size, off_t offset,
                    struct fuse_file_info* fi)
{
    if (fails_past_limit(path, "unwritable", offset, size))
        return -EIO;
    ssize_t n = pwrite((int)fi->fh, buf, size, offset + shift(path));
    return n >= 0 ? (int)n : -errno;
}

static int fs_truncate(const char* path, off_t length, struct fuse_file_info* fi)
{
    int done = -1;
    length += shift(path);
    if (fi != NULL) {
        done = ftruncate((int)fi->fh, length);
    } else {
        int fd = openat(state()->backing, relative(path), O_WRONLY);
        if (fd >= 0) {
            done = ftruncate(fd, length);
            close(fd);
        }
    }
    return done == 0 ? 0 : -errno;
}

static int fs_release(const char* path, struct fuse_file_info* fi)
{
    (void)path;
    close((int)fi->fh);
    return 0;
}

static int fs_unlink(const char* path)
{
    return unlinkat(state()->backing, relative(path), 0) == 0 ? 0 : -errno;
}

static int fs_readdir(const char* path, void* buf, fuse_fill_dir_t fill, off_t offset,
                      struct fuse_file_info* fi, enum fuse_readdir_flags flags)
{
    (void)path;
    (void)offset;
    (void)fi;
    (void)flags;
    int fd = openat(state()->backing, ".", O_RDONLY | O_DIRECTORY);
    DIR* dir = fd >= 0 ? fdopendir(fd) : NULL;
    if (dir == NULL)
        return -errno;
    struct dirent* entry;
    while ((entry = readdir(dir)) != NULL)
        fill(buf, entry->d_name, NULL, 0, 0);
    closedir(dir);
    return 0;
}

static void* fs_init(struct fuse_conn_info* conn, struct fuse_config* cfg)
{
    (void)conn;
    cfg->use_ino = 1;
    return state();
}

static const struct fuse_operations operations = {
    .getattr = fs_getattr,
    .unlink = fs_unlink,
    .truncate = fs_truncate,
    .open = fs_open,
    .read = fs_read,
    .write = fs_write,
    .release = fs_release,
    .readdir = fs_readdir,
    .init = fs_init,
    .create = fs_create,
};

int main(int argc, char* argv[])
{
    if (argc < 4) {
        fprintf(stderr, "usage: failfs BACKING LIMIT MOUNTPOINT [FUSE options]\n");
        return 2;
    }
    static struct failfs fs;
    fs.backing = open(argv[1], O_RDONLY | O_DIRECTORY);
    fs.limit = (off_t)strtoll(argv[2], NULL, 10);
    if (fs.backing < 0) {
        perror(argv[1]);
        return 1;
    }
    argv[2] = argv[0];
    return fuse_main(argc - 2, argv + 2, &operations, &fs);
}
