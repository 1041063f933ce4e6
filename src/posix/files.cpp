// SPDX-License-Identifier: MIT
// Files as every POSIX system offers them: opened, measured, read back,
// sought, cut, written, flushed and closed, with holes where the system
// tells them. DEST's open, checked against the inputs, is identity.cpp's.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "host.h"
#include "system.h"

namespace {

// Bytes in a unit of st_blocks.
constexpr std::int64_t STAT_BLOCK = 512;

// Where a seek would land, or at < 0 with the error why.
struct seek_probe {
    off_t at;
    int error;
};

// Moves fd to offset and back, where the stream expects it. EINVAL only
// ever says that the probe itself is not supported: a position that could
// not be read or put back is EIO.
seek_probe probe_seek(int fd, off_t offset, int whence)
{
    off_t kept = lseek(fd, 0, SEEK_CUR);
    if (kept < 0)
        return {-1, EIO};
    off_t found = lseek(fd, offset, whence);
    int error = found < 0 ? errno : NO_REASON;
    if (lseek(fd, kept, SEEK_SET) != kept)
        return {-1, EIO};
    return {found, error};
}

// A file system whose seeks know no holes answers EINVAL: it cannot tell,
// which is no failure, as the copy then looks at every byte.
bool holes_untold(const seek_probe& probe)
{
    return probe.error == EINVAL;
}

// A file's length and holes, once it is known to be a regular file; the
// error of a probe that failed.
int measure_regular(int fd, const struct stat& info, file_facts& facts)
{
    facts.sparse = static_cast<std::int64_t>(info.st_blocks) * STAT_BLOCK <
                   static_cast<std::int64_t>(info.st_size);
#if defined(SEEK_HOLE)
    if (facts.sparse) {
        seek_probe hole = probe_seek(fd, 0, SEEK_HOLE);
        if (hole.at < 0 && !holes_untold(hole))
            return hole.error;
        facts.hides_holes = hole.at < 0 || hole.at >= info.st_size;
    }
#else
    (void)fd;
#endif
    return NO_REASON;
}

} // namespace

file_facts measure_descriptor(int fd, bool writing)
{
    file_facts facts = facts_of_kind(file_kind::unmeasured);
    struct stat info;
    if (fstat(fd, &info) != 0) {
        facts.error = errno;
        return facts;
    }
    facts.id = id_of(info);
    if (S_ISDIR(info.st_mode)) {
        facts.kind = file_kind::directory;
        return facts;
    }
    if (!S_ISREG(info.st_mode) && !S_ISBLK(info.st_mode)) {
        facts.kind = file_kind::stream;
        return facts;
    }
    // Its end is its size, for a device here as on every POSIX host.
    seek_probe end = {info.st_size, NO_REASON};
    if (S_ISBLK(info.st_mode))
        end = probe_seek(fd, 0, SEEK_END);
    facts.error = end.at < 0 ? end.error : NO_REASON;
    if (facts.error == NO_REASON && S_ISREG(info.st_mode))
        facts.error = measure_regular(fd, info, facts);
    if (facts.error != NO_REASON)
        return facts;
    facts.length = static_cast<std::int64_t>(end.at);
    follow_storage(fd, info, 0, INT64_MAX, facts.under, {0, writing, true});
    facts.kind = S_ISBLK(info.st_mode) ? file_kind::block_device : file_kind::regular;
    return facts;
}

std::FILE* open_input(const char* path, int& error)
{
    std::FILE* stream = std::fopen(path, "rb");
    error = stream == nullptr ? errno : NO_REASON;
    if (stream != nullptr)
        std::setvbuf(stream, nullptr, _IONBF, 0);
    return stream;
}

file_facts measure_file(std::FILE* stream)
{
    return measure_descriptor(fileno(stream), false);
}

read_back_result read_back(std::FILE* input, std::int64_t offset, void* bytes, std::size_t n)
{
    int fd = fileno(input);
#if defined(POSIX_FADV_DONTNEED)
    // Pages the input's own file system kept (a network or FUSE one) are
    // dropped, so that the read asks its storage again.
    (void)posix_fadvise(fd, static_cast<off_t>(offset), static_cast<off_t>(n),
                        POSIX_FADV_DONTNEED);
#endif
    read_back_result result = {true, 0, NO_REASON};
    auto* into = static_cast<unsigned char*>(bytes);
    while (result.got < n) {
        ssize_t got = pread(fd, into + result.got, n - result.got,
                            static_cast<off_t>(offset) + static_cast<off_t>(result.got));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            result.ok = got == 0;
            result.error = got < 0 ? errno : NO_REASON;
            break;
        }
        result.got += static_cast<std::size_t>(got);
    }
    return result;
}

bool flush_to_device(std::FILE* stream)
{
    if (std::fflush(stream) != 0)
        return false;
    // EINVAL: a pipe or the like, which holds nothing back to flush.
    return fsync(fileno(stream)) == 0 || errno == EINVAL;
}

#if defined(SEEK_DATA) && defined(SEEK_HOLE)
namespace {

// Only holes from offset on, up to the source's end: which is where it ends
// now, if it was cut short since it was measured.
data_stretch holes_to_end(int fd, std::int64_t offset, std::int64_t length)
{
    struct stat info;
    if (fstat(fd, &info) != 0)
        return {SOURCE_UNREADABLE, offset, offset, false, errno};
    auto size = static_cast<std::int64_t>(info.st_size);
    if (size >= length)
        return {DONE, length, length, false};
    std::int64_t end = std::max(offset, size);
    return {DONE, end, end, true};
}

} // namespace
#endif

data_stretch next_data(std::FILE* source, std::int64_t offset, std::int64_t length)
{
    data_stretch stretch = {DONE, offset, length, false};
#if defined(SEEK_DATA) && defined(SEEK_HOLE)
    int fd = fileno(source);
    seek_probe data = probe_seek(fd, static_cast<off_t>(offset), SEEK_DATA);
    if (data.at < 0 && data.error == ENXIO)
        return holes_to_end(fd, offset, length);
    if (data.at < 0) {
        stretch.error = data.error;
        if (!holes_untold(data))
            stretch.result = SOURCE_UNREADABLE;
        return stretch;
    }
    // Data and holes may change under us: every step must move forward.
    if (data.at < offset)
        return stretch;
    stretch.start = std::min(static_cast<std::int64_t>(data.at), length);
    seek_probe hole = probe_seek(fd, data.at, SEEK_HOLE);
    stretch.error = hole.error;
    if (hole.at < 0 && !holes_untold(hole))
        stretch.result = SOURCE_UNREADABLE;
    else if (hole.at > data.at)
        stretch.end = std::min(static_cast<std::int64_t>(hole.at), length);
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

bool ran_out_of_space(int error)
{
    return error == ENOSPC || error == EDQUOT;
}

std::size_t write_out(std::FILE* destination, const void* bytes, std::size_t count)
{
    return std::fwrite(bytes, 1, count, destination);
}

std::FILE* duplicate_stream(std::FILE* stream, int& error)
{
    int fd = dup(fileno(stream));
    std::FILE* spare = fd < 0 ? nullptr : fdopen(fd, "wb");
    error = spare == nullptr ? errno : NO_REASON;
    if (spare != nullptr)
        std::setvbuf(spare, nullptr, _IONBF, 0);
    else if (fd >= 0)
        close(fd);
    return spare;
}
