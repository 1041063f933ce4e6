// The host services on POSIX systems, with Linux's kernel copy and hole
// punching where they exist.
#include <fcntl.h>
#include <signal.h>
#if defined(__linux__)
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>

#include "host.h"

namespace {

bool is_regular(int fd, struct stat* info)
{
    return fstat(fd, info) == 0 && S_ISREG(info->st_mode);
}

// What a stop's handler works on. A handler can reach nothing but what is
// global; lock-free, so it reads them whole even when it interrupts a store,
// 64-bit offsets on 32-bit hosts included.
std::atomic<int> guarded_descriptor{-1};
std::atomic<std::int64_t> guarded_kept{0};
static_assert(std::atomic<int>::is_always_lock_free &&
                  std::atomic<std::int64_t>::is_always_lock_free,
              "a signal handler may only read lock-free atomics");

constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Async-signal-safe calls only, and nothing printed.
extern "C" void on_stop(int signal_number)
{
    int fd = guarded_descriptor.load();
    struct stat info;
    if (fd >= 0 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        std::int64_t kept = guarded_kept.load();
        if (info.st_size > kept)
            (void)ftruncate(fd, static_cast<off_t>(kept));
    }
    // SA_RESETHAND has restored the default action: the process ends by this
    // signal as soon as the handler returns, as its parent expects.
    raise(signal_number);
}

#if defined(__linux__)

// Bigger requests gain nothing and keep a single call from running for long.
constexpr std::int64_t KERNEL_COPY_CHUNK = std::int64_t{1} << 30;

// Errors that only say this pair of files cannot be copied by the kernel: the
// buffer then copies the rest, and meets the real error if there is one.
bool wants_buffer(int error)
{
    switch (error) {
    case ENOSYS:
    case EXDEV:
    case EOPNOTSUPP:
#if ENOTSUP != EOPNOTSUPP
    case ENOTSUP:
#endif
    case EINVAL:
    case EPERM:
    case EBADF:
    case ETXTBSY:
    case EACCES:
    case ENOTTY:
    case ENOENT:
    case EFBIG:
    case EOVERFLOW:
        return true;
    default:
        return false;
    }
}

#endif

} // namespace

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

std::FILE* open_output(const char* path)
{
    // fopen has no mode that creates without truncating.
    int fd = open(path, O_WRONLY | O_CREAT, 0666);
    if (fd < 0)
        return nullptr;
    std::FILE* stream = fdopen(fd, "wb");
    if (stream == nullptr)
        close(fd);
    return stream;
}

bool same_file(std::FILE* a, std::FILE* b)
{
    struct stat x;
    struct stat y;
    if (fstat(fileno(a), &x) != 0 || fstat(fileno(b), &y) != 0)
        return false;
    return x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

std::int64_t regular_length(std::FILE* stream)
{
    struct stat info;
    return is_regular(fileno(stream), &info) ? static_cast<std::int64_t>(info.st_size) : -1;
}

std::int64_t device_length(std::FILE* stream)
{
#if defined(__linux__)
    int fd = fileno(stream);
    struct stat info;
    std::uint64_t size = 0;
    if (fstat(fd, &info) == 0 && S_ISBLK(info.st_mode) && ioctl(fd, BLKGETSIZE64, &size) == 0)
        return static_cast<std::int64_t>(size);
#else
    (void)stream;
#endif
    return -1;
}

bool hides_holes(std::FILE* source)
{
#if defined(SEEK_HOLE)
    int fd = fileno(source);
    struct stat info;
    if (!is_regular(fd, &info) || info.st_blocks * 512 >= info.st_size)
        return false;
    off_t kept = lseek(fd, 0, SEEK_CUR);
    off_t hole = lseek(fd, 0, SEEK_HOLE);
    lseek(fd, kept, SEEK_SET); // the stream counts on its position
    return hole < 0 || hole >= info.st_size;
#else
    (void)source;
    return false;
#endif
}

bool share_blocks(std::FILE* source, std::FILE* destination, std::int64_t offset, std::int64_t end)
{
#if defined(__linux__) && defined(FICLONERANGE)
    struct file_clone_range range = {};
    range.src_fd = fileno(source);
    range.src_offset = static_cast<std::uint64_t>(offset);
    range.src_length = static_cast<std::uint64_t>(end - offset);
    range.dest_offset = static_cast<std::uint64_t>(offset);
    return offset < end && ioctl(fileno(destination), FICLONERANGE, &range) == 0;
#else
    (void)source;
    (void)destination;
    (void)offset;
    (void)end;
    return false;
#endif
}

void next_data(std::FILE* source, std::int64_t offset, std::int64_t length, std::int64_t* start,
               std::int64_t* end)
{
    *start = offset;
    *end = length;
#if defined(SEEK_DATA) && defined(SEEK_HOLE)
    int fd = fileno(source);
    struct stat info;
    // A file with as many blocks as bytes has no hole worth a walk.
    if (!is_regular(fd, &info) || info.st_blocks * 512 >= info.st_size)
        return;
    off_t kept = lseek(fd, 0, SEEK_CUR);
    off_t data = lseek(fd, static_cast<off_t>(offset), SEEK_DATA);
    if (data < 0) {
        // ENXIO: only holes from offset on; anything else: copy it all.
        if (errno == ENXIO)
            *start = length;
    } else if (data >= offset) {
        *start = std::min(static_cast<std::int64_t>(data), length);
        off_t hole = lseek(fd, data, SEEK_HOLE);
        // Data and holes may change under us: every step must move forward.
        if (hole > data)
            *end = std::min(static_cast<std::int64_t>(hole), length);
    }
    lseek(fd, kept, SEEK_SET); // the stream counts on its position
#else
    (void)source;
#endif
}

std::size_t widen_pipe(std::FILE* stream, std::size_t wanted)
{
#if defined(F_SETPIPE_SZ) && defined(F_GETPIPE_SZ)
    int fd = fileno(stream);
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISFIFO(info.st_mode))
        return 0;
    fcntl(fd, F_SETPIPE_SZ, static_cast<int>(wanted)); // a smaller pipe still works
    int size = fcntl(fd, F_GETPIPE_SZ);
    return size > 0 ? static_cast<std::size_t>(size) : 0;
#else
    (void)stream;
    (void)wanted;
    return 0;
#endif
}

outcome kernel_copy(std::FILE* source, std::FILE* destination, std::int64_t offset,
                    std::int64_t count, std::int64_t* copied)
{
    *copied = 0;
#if defined(__linux__)
    int in = fileno(source);
    int out = fileno(destination);
    // Explicit offsets leave both descriptors' positions to the streams.
    off_t in_offset = static_cast<off_t>(offset);
    off_t out_offset = static_cast<off_t>(offset);
    while (*copied < count) {
        std::int64_t want = std::min(count - *copied, KERNEL_COPY_CHUNK);
        ssize_t n =
            copy_file_range(in, &in_offset, out, &out_offset, static_cast<std::size_t>(want), 0);
        if (n > 0) {
            *copied += n;
            continue;
        }
        // End of file, or a file system (procfs, some overlays) that copies
        // nothing: the caller's buffer takes over from *copied.
        if (n == 0)
            return DONE;
        if (errno == EINTR)
            continue;
        if (wants_buffer(errno))
            return DONE;
        return errno == ENOSPC || errno == EDQUOT ? DESTINATION_UNWRITABLE : SOURCE_UNREADABLE;
    }
#else
    (void)source;
    (void)destination;
    (void)offset;
    (void)count;
#endif
    return DONE;
}

bool punch_hole(std::FILE* destination, std::int64_t offset, std::int64_t end)
{
#if defined(__linux__) && defined(FALLOC_FL_PUNCH_HOLE)
    return fallocate(fileno(destination), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                     static_cast<off_t>(offset), static_cast<off_t>(end - offset)) == 0;
#else
    (void)destination;
    (void)offset;
    (void)end;
    return false;
#endif
}

bool set_length(std::FILE* stream, std::int64_t length)
{
    return ftruncate(fileno(stream), static_cast<off_t>(length)) == 0;
}

bool seek_to(std::FILE* stream, std::int64_t offset)
{
    return fseeko(stream, static_cast<off_t>(offset), SEEK_SET) == 0;
}

bool ran_out_of_space()
{
    return errno == ENOSPC || errno == EDQUOT;
}

bool flush_to_device(std::FILE* stream)
{
    return fsync(fileno(stream)) == 0;
}

std::size_t write_out(std::FILE* destination, const void* bytes, std::size_t count)
{
    return std::fwrite(bytes, 1, count, destination);
}

void guard_destination(std::FILE* destination)
{
    guarded_kept.store(0);
    guarded_descriptor.store(fileno(destination));
    // Past a file size limit, write fails with EFBIG instead of killing us.
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGXFSZ, &ignore, nullptr);
    struct sigaction stop = {};
    stop.sa_handler = on_stop;
    stop.sa_flags = SA_RESETHAND;
    sigemptyset(&stop.sa_mask);
    for (int s : STOP_SIGNALS)
        sigaddset(&stop.sa_mask, s);
    for (int s : STOP_SIGNALS) {
        struct sigaction old;
        // nohup and background jobs ignore some stops on purpose.
        if (sigaction(s, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
            sigaction(s, &stop, nullptr);
    }
}

void keep_on_stop(std::int64_t kept)
{
    guarded_kept.store(kept);
}

void release_destination()
{
    guarded_descriptor.store(-1);
}
