// SPDX-License-Identifier: MIT
// Files as every POSIX system offers them: opened, measured (the standard streams too), read
// back, sought, cut, written, flushed and closed, with holes where the system tells.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "system.h"

namespace {

// Bytes in a unit of st_blocks.
constexpr std::int64_t STAT_BLOCK = 512;

// Where a seek would land, or at < 0 with the error why.
struct seek_probe {
    off_t at;
    int error;
    bool position_lost; // the stream's position could not be read or put back
};

// Moves fd to offset and back, where the stream expects it.
seek_probe probe_seek(int fd, off_t offset, int whence)
{
    off_t kept = lseek(fd, 0, SEEK_CUR);
    if (kept < 0)
        return {-1, errno, true};
    off_t found = lseek(fd, offset, whence);
    int error = found < 0 ? errno : NO_REASON;
    if (lseek(fd, kept, SEEK_SET) != kept)
        return {-1, errno, true};
    return {found, error, false};
}

// A file system whose seeks know no holes answers EINVAL to the probe: it
// cannot tell, which is no failure, as the copy then looks at every byte. A
// position lost is a failure whatever its error.
bool holes_untold(const seek_probe& probe)
{
    return probe.error == EINVAL && !probe.position_lost;
}

// The length of a regular file or a device, and a file's holes; the error
// of a probe that failed.
int measure_length(int fd, const struct stat& info, file_facts& facts)
{
    if (S_ISBLK(info.st_mode)) {
        // A device's stat tells no size: its end is found by seeking there.
        seek_probe end = probe_seek(fd, 0, SEEK_END);
        facts.length = static_cast<std::int64_t>(end.at);
        return end.at < 0 ? end.error : NO_REASON;
    }
    facts.sparse = static_cast<std::int64_t>(info.st_blocks) * STAT_BLOCK <
                   static_cast<std::int64_t>(info.st_size);
#if defined(SEEK_HOLE)
    if (facts.sparse) {
        seek_probe hole = probe_seek(fd, 0, SEEK_HOLE);
        if (hole.at < 0 && !holes_untold(hole))
            return hole.error;
        facts.hides_holes = hole.at < 0 || hole.at >= info.st_size;
    }
#endif
    facts.length = static_cast<std::int64_t>(info.st_size);
    return NO_REASON;
}

// The stream unbuffered, so that its position is its file's; else error why, fd closed.
std::FILE* unbuffered(std::FILE* stream, int fd, int& error)
{
    error = stream == nullptr ? errno : NO_REASON;
    if (stream != nullptr)
        std::setvbuf(stream, nullptr, _IONBF, 0);
    else if (fd >= 0)
        close(fd);
    return stream;
}

} // namespace

file_kind kind_of(const struct stat& info)
{
    if (S_ISDIR(info.st_mode))
        return file_kind::directory;
    if (S_ISREG(info.st_mode))
        return file_kind::regular;
    return S_ISBLK(info.st_mode) ? file_kind::block_device : file_kind::stream;
}

file_facts measure_file(host_file file, bool written)
{
    auto fd = static_cast<int>(file);
    file_facts facts = facts_of_kind(file_kind::unmeasured);
    struct stat info;
    if (fstat(fd, &info) != 0) {
        facts.error = errno;
        return facts;
    }
    facts.id = id_of(info);
    file_kind kind = kind_of(info);
    if (kind == file_kind::regular || kind == file_kind::block_device) {
        facts.error = measure_length(fd, info, facts);
        if (facts.error != NO_REASON)
            return facts;
        follow_storage(fd, info, 0, INT64_MAX, facts.under, {0, written, true});
    }
    facts.kind = kind;
    return facts;
}

opened duplicate_fd(int fd)
{
    int again = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    return {again, again < 0 ? errno : NO_REASON, false};
}

std::FILE* open_input(const char* path, int& error)
{
    return unbuffered(std::fopen(path, "rb"), -1, error);
}

host_file file_of(std::FILE* stream)
{
    return fileno(stream);
}

file_facts measure_standard(standard_stream which)
{
    int fd = which == standard_stream::output ? STDOUT_FILENO : STDERR_FILENO;
    struct stat info;
    bool measured = fstat(fd, &info) == 0;
    bool closed = !measured && errno == EBADF;
    // A closed one is held on /dev/null: a file of the run given its number would get its texts.
    int null = closed ? open("/dev/null", O_RDWR) : -1;
    if (null >= 0 && null != fd && dup2(null, fd) == fd)
        close(null);
    // Closed or a character device, it keeps no bytes for a text to spoil.
    if (closed || (measured && S_ISCHR(info.st_mode)))
        return facts_of_kind(file_kind::stream);
    // A stat that fails again there leaves it unmeasured, with its error.
    return measure_file(fd, true);
}

std::FILE* open_writer(host_file file, const file_facts& facts, int& error)
{
    auto fd = static_cast<int>(file);
    opened out = facts.kind == file_kind::block_device ? claim_device(fd) : duplicate_fd(fd);
    // Neither a device nor a file is written under another device in use.
    if (out.file != NO_FILE && holds_bytes(facts) &&
        storage_in_use(static_cast<int>(out.file), facts)) {
        close(static_cast<int>(out.file));
        out = {NO_FILE, REASON_DEVICE_BUSY, false};
    }
    error = out.error;
    if (out.file == NO_FILE)
        return nullptr;
    return unbuffered(fdopen(static_cast<int>(out.file), "wb"), static_cast<int>(out.file), error);
}

void close_file(host_file file)
{
    if (file != NO_FILE)
        close(static_cast<int>(file));
}

ended read_back(std::FILE* input, std::int64_t offset, void* bytes, std::size_t n,
                outcome unreadable)
{
    int fd = fileno(input);
#if defined(POSIX_FADV_DONTNEED)
    // Pages the input's own file system kept (a network or FUSE one) are
    // dropped, so that the read asks its storage again.
    (void)posix_fadvise(fd, static_cast<off_t>(offset), static_cast<off_t>(n),
                        POSIX_FADV_DONTNEED);
#endif
    auto* into = static_cast<unsigned char*>(bytes);
    std::size_t got = 0;
    while (got < n) {
        ssize_t more = pread(fd, into + got, n - got,
                             static_cast<off_t>(offset) + static_cast<off_t>(got));
        if (more < 0 && errno == EINTR)
            continue;
        if (more < 0)
            return {unreadable, errno, static_cast<std::int64_t>(got)};
        if (more == 0)
            break;
        got += static_cast<std::size_t>(more);
    }
    return {DONE, NO_REASON, static_cast<std::int64_t>(got)};
}

bool flush_to_device(std::FILE* stream)
{
    if (std::fflush(stream) != 0)
        return false;
    // EINVAL: a pipe or the like, which holds nothing back to flush.
    return fsync(fileno(stream)) == 0 || errno == EINVAL;
}

ended next_data(std::FILE* source, std::int64_t offset, std::int64_t length, data_stretch& found)
{
    found = {offset, length, false};
#if defined(SEEK_DATA) && defined(SEEK_HOLE)
    int fd = fileno(source);
    seek_probe data = probe_seek(fd, static_cast<off_t>(offset), SEEK_DATA);
    struct stat info;
    if (data.at < 0 && data.error == ENXIO) {
        // Only holes from offset on, up to the source's end: which is where it
        // ends now, if it was cut short since it was measured.
        if (fstat(fd, &info) != 0)
            return {SOURCE_UNREADABLE, errno};
        auto size = static_cast<std::int64_t>(info.st_size);
        std::int64_t end = std::min(length, std::max(offset, size));
        found = {end, end, size < length};
        return {DONE};
    }
    if (data.at < 0)
        return {holes_untold(data) ? DONE : SOURCE_UNREADABLE, data.error};
    // Data and holes may change under us: every step must move forward.
    if (data.at < offset)
        return {DONE};
    found.start = std::min(static_cast<std::int64_t>(data.at), length);
    seek_probe hole = probe_seek(fd, data.at, SEEK_HOLE);
    if (hole.at < 0 && !holes_untold(hole))
        return {SOURCE_UNREADABLE, hole.error};
    if (hole.at > data.at)
        found.end = std::min(static_cast<std::int64_t>(hole.at), length);
#else
    (void)source;
#endif
    return {DONE};
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
    return unbuffered(fd < 0 ? nullptr : fdopen(fd, "wb"), fd, error);
}
