// SPDX-License-Identifier: MIT
// What Linux does better than any POSIX system: kernel copies and shared
// blocks, hole punching, wider pipes and ranged device pushes.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "host.h"

namespace {

// Bigger requests gain nothing and keep a single call from running for long.
constexpr std::int64_t KERNEL_COPY_CHUNK = std::int64_t{1} << 30;
// The largest page cache folio of common file systems.
constexpr std::int64_t KERNEL_COPY_ALIGNMENT = std::int64_t{2} << 20;

} // namespace

bool share_blocks(std::FILE* source, std::FILE* destination, std::int64_t offset, std::int64_t end)
{
    struct file_clone_range range = {};
    range.src_fd = fileno(source);
    range.src_offset = static_cast<std::uint64_t>(offset);
    range.src_length = static_cast<std::uint64_t>(end - offset);
    range.dest_offset = static_cast<std::uint64_t>(offset);
    return offset < end && ioctl(fileno(destination), FICLONERANGE, &range) == 0;
}

std::size_t widen_pipe(std::FILE* stream, std::size_t wanted)
{
    int fd = fileno(stream);
    fcntl(fd, F_SETPIPE_SZ, static_cast<int>(wanted)); // a smaller pipe still works
    int size = fcntl(fd, F_GETPIPE_SZ);
    return size > 0 ? static_cast<std::size_t>(size) : 0;
}

ended kernel_copy(std::FILE* source, std::FILE* destination, std::int64_t offset,
                  std::int64_t count)
{
    ended done = {DONE};
    int in = fileno(source);
    int out = fileno(destination);
    // Explicit offsets leave both descriptors' positions to the streams.
    off_t in_offset = static_cast<off_t>(offset);
    off_t out_offset = static_cast<off_t>(offset);
    while (done.reached < count) {
        // A first call that ends on a boundary lets the others start on one,
        // which the page cache copies faster.
        std::int64_t misaligned = (offset + done.reached) % KERNEL_COPY_ALIGNMENT;
        std::int64_t want =
            std::min(count - done.reached,
                     misaligned != 0 ? KERNEL_COPY_ALIGNMENT - misaligned : KERNEL_COPY_CHUNK);
        ssize_t n =
            copy_file_range(in, &in_offset, out, &out_offset, static_cast<std::size_t>(want), 0);
        if (n > 0) {
            done.reached += n;
            continue;
        }
        // End of file, or a file system (procfs, some overlays) that copies
        // nothing: the caller's buffer takes over from there.
        if (n == 0)
            return done;
        if (errno == EINTR)
            continue;
        // Only a full disk or quota is surely the destination's. Any other error
        // may say the kernel will not copy this pair, or come from either file
        // (EIO): the buffer copies the rest, and meets a real error on its side.
        if (ran_out_of_space(errno))
            done = {DESTINATION_UNWRITABLE, errno, done.reached};
        return done;
    }
    return done;
}

void start_push(std::FILE* device, std::int64_t from, std::int64_t to)
{
    // A failure here shows again when the range is waited for.
    (void)sync_file_range(fileno(device), static_cast<off_t>(from), static_cast<off_t>(to - from),
                          SYNC_FILE_RANGE_WRITE);
}

bool push_to_device(std::FILE* device, std::int64_t from, std::int64_t to)
{
    int done = sync_file_range(fileno(device), static_cast<off_t>(from),
                               static_cast<off_t>(to - from), SYNC_FILE_RANGE_WRITE_AND_WAIT);
    // A kernel or an emulator without the call still has a flush.
    return done == 0 || (errno == ENOSYS && flush_to_device(device));
}

bool punch_hole(std::FILE* destination, std::int64_t offset, std::int64_t end)
{
    return fallocate(fileno(destination), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                     static_cast<off_t>(offset), static_cast<off_t>(end - offset)) == 0;
}
