// SPDX-License-Identifier: MIT
// The host services that every POSIX system offers: files, their
// measures, holes where the system tells them, and plain writes.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>

#include "host.h"
#include "progress.h"
#include "system.h"

namespace {

// Bytes in a unit of st_blocks.
constexpr std::int64_t STAT_BLOCK = 512;

// Moves fd to offset and back, where the stream expects it; -1 if either
// move failed. EINVAL then only ever says that the probe itself is not
// supported: a position that could not be read or put back is EIO.
off_t probe_seek(int fd, off_t offset, int whence)
{
    off_t kept = lseek(fd, 0, SEEK_CUR);
    off_t found = kept < 0 ? -1 : lseek(fd, offset, whence);
    int error = errno;
    if (kept < 0 || lseek(fd, kept, SEEK_SET) != kept) {
        errno = EIO;
        return -1;
    }
    errno = error;
    return found;
}

// A file system whose seeks know no holes answers EINVAL: it cannot tell,
// which is no failure, as the copy then looks at every byte.
bool holes_untold()
{
    return errno == EINVAL;
}

file_facts measure_descriptor(int fd)
{
    file_facts facts = {file_kind::unmeasured, {0, 0}, {0, 0}, {0, 0, 0}, -1, false, false};
    struct stat info;
    if (fstat(fd, &info) != 0)
        return facts;
    facts.id = id_of(info);
    if (S_ISBLK(info.st_mode)) {
        device_place place = place_of_device(fd, info);
        // Its end is its size, here as on every POSIX host.
        off_t end = place.told ? probe_seek(fd, 0, SEEK_END) : -1;
        if (end < 0)
            return facts;
        facts.backing = place.backing;
        facts.stretch = place.stretch;
        facts.length = static_cast<std::int64_t>(end);
        facts.kind = file_kind::block_device;
        return facts;
    }
    if (S_ISDIR(info.st_mode)) {
        facts.kind = file_kind::directory;
        return facts;
    }
    if (!S_ISREG(info.st_mode)) {
        facts.kind = file_kind::stream;
        return facts;
    }
    shown_file holder = holder_of_file(fd);
    if (!holder.told)
        return facts;
    facts.backing = holder.id;
    facts.length = static_cast<std::int64_t>(info.st_size);
    facts.sparse = static_cast<std::int64_t>(info.st_blocks) * STAT_BLOCK < facts.length;
#if defined(SEEK_HOLE)
    if (facts.sparse) {
        off_t hole = probe_seek(fd, 0, SEEK_HOLE);
        if (hole < 0 && !holes_untold())
            return facts;
        facts.hides_holes = hole < 0 || hole >= info.st_size;
    }
#endif
    facts.kind = file_kind::regular;
    return facts;
}

// Held, then measured: what another run left is what this one measures.
output measure_held(int fd, bool held, const file_facts* inputs, std::size_t count,
                    progress_line& line)
{
    output result = {nullptr, open_verdict::unmeasured, count, {}};
    struct stat info;
    if (fstat(fd, &info) != 0)
        return result;
    // A pipe or a character device keeps no bytes for two runs to mix.
    bool holds_bytes = S_ISREG(info.st_mode) || S_ISBLK(info.st_mode);
    if (!held && holds_bytes && hold_for_run(fd, line) == hold::failed)
        return result;
    result.facts = measure_descriptor(fd);
    if (result.facts.kind == file_kind::unmeasured)
        return result;
    result.input = input_index(result.facts, inputs, count);
    if (result.input < count)
        result.verdict = open_verdict::same_as_input;
    else if ((result.stream = fdopen(fd, "wb")) != nullptr)
        result.verdict = open_verdict::opened;
    else
        result.verdict = open_verdict::cannot_open;
    return result;
}

} // namespace

hold hold_for_run(int fd, progress_line& line)
{
    // Tried first, so that only a lock that another run holds is waited for
    // and told; off a terminal the wait is one blocking call.
    int done;
    while ((done = flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EWOULDBLOCK && line.on_terminal) {
        count_waiting(line);
        usleep(LOCK_RETRY_US);
    }
    while (done != 0 && (errno == EWOULDBLOCK || errno == EINTR))
        done = flock(fd, LOCK_EX);
    if (done == 0)
        return hold::held;
    // Some NFS and FUSE mounts keep no locks: the run goes on unheld, as cp would.
    if (errno == ENOLCK || errno == EOPNOTSUPP || errno == ENOSYS)
        return hold::unheld;
    return hold::failed;
}

// NOLINTNEXTLINE(cert-dcl50-cpp): a printf wrapper, whose formats the compiler checks
void print_text(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
}

std::FILE* open_input(const char* path)
{
    return std::fopen(path, "rb");
}

file_facts measure_file(std::FILE* stream)
{
    return measure_descriptor(fileno(stream));
}

file_facts measure_report_output()
{
    struct stat info;
    if (fstat(STDOUT_FILENO, &info) != 0) {
        // Closed: the report goes nowhere, so no file can be spoilt by it.
        file_facts none = {file_kind::stream, {0, 0}, {0, 0}, {0, 0, 0}, -1, false, false};
        if (errno != EBADF)
            none.kind = file_kind::unmeasured;
        return none;
    }
    if (S_ISCHR(info.st_mode))
        return {file_kind::stream, {0, 0}, {0, 0}, {0, 0, 0}, -1, false, false};
    return measure_descriptor(STDOUT_FILENO);
}

output open_output(const char* path, const file_facts* inputs, std::size_t count,
                   progress_line& line)
{
    output result = {nullptr, open_verdict::cannot_open, count, {}};
    early_open early = open_after_look(path, inputs, count, line);
    if (early.verdict != open_verdict::opened) {
        result.verdict = early.verdict;
        result.input = early.input;
        return result;
    }
    int fd = early.fd >= 0 ? early.fd : open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return result;
    // Checked again as open: a name swapped in after any look may be an
    // input, which this open did not truncate.
    result = measure_held(fd, early.held, inputs, count, line);
    if (result.stream == nullptr)
        close(fd);
    return result;
}

bool flush_to_device(std::FILE* stream)
{
    if (std::fflush(stream) != 0)
        return false;
    // EINVAL: a pipe or the like, which holds nothing back to flush.
    return fsync(fileno(stream)) == 0 || errno == EINVAL;
}

data_stretch next_data(std::FILE* source, std::int64_t offset, std::int64_t length)
{
    data_stretch stretch = {DONE, offset, length};
#if defined(SEEK_DATA) && defined(SEEK_HOLE)
    int fd = fileno(source);
    off_t data = probe_seek(fd, static_cast<off_t>(offset), SEEK_DATA);
    if (data < 0) {
        // ENXIO: only holes from offset on.
        if (errno == ENXIO)
            stretch.start = length;
        else if (!holes_untold())
            stretch.result = SOURCE_UNREADABLE;
        return stretch;
    }
    // Data and holes may change under us: every step must move forward.
    if (data < offset)
        return stretch;
    stretch.start = std::min(static_cast<std::int64_t>(data), length);
    off_t hole = probe_seek(fd, data, SEEK_HOLE);
    if (hole < 0 && !holes_untold())
        stretch.result = SOURCE_UNREADABLE;
    else if (hole > data)
        stretch.end = std::min(static_cast<std::int64_t>(hole), length);
#else
    (void)source;
#endif
    return stretch;
}

bool set_length(std::FILE* stream, std::int64_t length)
{
    return ftruncate(fileno(stream), static_cast<off_t>(length)) == 0;
}

std::int64_t current_length(std::FILE* stream)
{
    struct stat info;
    return fstat(fileno(stream), &info) == 0 ? static_cast<std::int64_t>(info.st_size) : -1;
}

bool seek_to(std::FILE* stream, std::int64_t offset)
{
    return fseeko(stream, static_cast<off_t>(offset), SEEK_SET) == 0;
}

bool ran_out_of_space()
{
    return errno == ENOSPC || errno == EDQUOT;
}

std::size_t write_out(std::FILE* destination, const void* bytes, std::size_t count)
{
    return std::fwrite(bytes, 1, count, destination);
}

bool close_output(std::FILE* destination, file_kind kind)
{
    // Open twice, so that it can still be emptied once the close has failed.
    int spare = kind == file_kind::regular ? dup(fileno(destination)) : -1;
    if (kind == file_kind::regular && spare < 0) {
        // Without a spare a failed close could not be undone: fail first.
        (void)ftruncate(fileno(destination), 0);
        std::fclose(destination);
        return false;
    }
    bool closed = std::fclose(destination) == 0;
    if (!closed && spare >= 0)
        (void)ftruncate(spare, 0);
    if (spare >= 0)
        close(spare);
    return closed;
}
