// SPDX-License-Identifier: MIT
// The files under a run's file that hold its bytes (a loop device's file, an overlay's layer
// file), opened anew from the walk's checked descriptor, so that the run takes turns on them too.
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/vfs.h>

#include "linux_walk.h"

void keep_file_under(int fd, walk at)
{
    if (at.keep == nullptr || !at.holds || at.keep->count == MOST_PLACES)
        return;
    // An overlay file opened for writing would be copied up by this open;
    // its layer file, met next, takes the turn instead.
    struct statfs where;
    if (at.writing && (fstatfs(fd, &where) != 0 || where.f_type == OVERLAYFS_SUPER_MAGIC))
        return;
    // A turn alone asks a file open for writing; a shared one, for reading.
    opened again = open_again(fd, (at.writing ? O_WRONLY : O_RDONLY) | O_NONBLOCK | O_NOCTTY);
    if (again.file != NO_FILE)
        at.keep->file[at.keep->count++] = again.file;
}
