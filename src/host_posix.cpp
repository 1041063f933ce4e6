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
#if defined(__linux__)
#include <linux/magic.h>
#include <sys/vfs.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
// The largest page cache folio of common file systems.
constexpr std::int64_t KERNEL_COPY_ALIGNMENT = std::int64_t{2} << 20;

constexpr int DECIMAL = 10;

// Room for "/proc/self/fd/" and any descriptor number.
constexpr std::size_t PROC_FD_NAME_SIZE = 32;

// Opens for writing the very file that the O_PATH descriptor holds, which no
// name swapped in meanwhile can change; errno ENOENT when /proc is missing.
int reopen_for_writing(int probe, int flags)
{
    char name[PROC_FD_NAME_SIZE];
    std::snprintf(name, sizeof name, "/proc/self/fd/%d", probe);
    return open(name, O_WRONLY | O_CLOEXEC | flags);
}

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

// Writes to upper where the file at path would be in the upper layer of the
// overlayfs mount id, from its line in /proc/self/mountinfo:
//   id parent major:minor root mount-point options... - type source super-options
bool upper_layer_path(const char* path, long id, char* upper, std::size_t size)
{
    static constexpr char KEY[] = "upperdir=";
    enum { ID, PARENT, DEVICE, ROOT, POINT, LEADING_FIELDS };
    std::FILE* mounts = std::fopen("/proc/self/mountinfo", "r");
    char* line = nullptr;
    std::size_t capacity = 0;
    bool found = false;
    while (mounts != nullptr && !found && getline(&line, &capacity, mounts) > 0) {
        char* rest = nullptr;
        char* field[LEADING_FIELDS] = {};
        for (int k = 0; k < LEADING_FIELDS; ++k)
            field[k] = strtok_r(k == ID ? line : nullptr, " \n", &rest);
        if (field[POINT] == nullptr || std::strtol(field[ID], nullptr, DECIMAL) != id)
            continue;
        char* directory = nullptr;
        for (char* word = strtok_r(nullptr, " ,\n", &rest); word != nullptr;
             word = strtok_r(nullptr, " ,\n", &rest))
            if (std::strncmp(word, KEY, sizeof KEY - 1) == 0)
                directory = word + sizeof KEY - 1;
        char* root = field[ROOT];
        char* point = field[POINT];
        unescape(root);
        unescape(point);
        std::size_t prefix = std::strcmp(point, "/") == 0 ? 0 : std::strlen(point);
        found =
            directory != nullptr && std::strncmp(path, point, prefix) == 0 && path[prefix] == '/';
        if (found) {
            unescape(directory);
            int n = std::snprintf(upper, size, "%s%s%s", directory,
                                  std::strcmp(root, "/") == 0 ? "" : root, path + prefix);
            found = n > 0 && static_cast<std::size_t>(n) < size;
        }
        break;
    }
    std::free(line);
    if (mounts != nullptr)
        std::fclose(mounts);
    return found;
}

// Whether the overlayfs file that probe holds is in the upper layer already;
// false when /proc cannot tell, as in a container whose upper layer lies
// outside it.
bool in_upper_layer(int probe)
{
    char name[PROC_FD_NAME_SIZE];
    std::snprintf(name, sizeof name, "/proc/self/fd/%d", probe);
    char path[PATH_MAX];
    ssize_t n = readlink(name, path, sizeof path - 1);
    if (n <= 0)
        return false;
    path[n] = '\0';
    char upper[2 * PATH_MAX];
    struct stat there;
    return upper_layer_path(path, mount_id(probe), upper, sizeof upper) &&
           lstat(upper, &there) == 0 && S_ISREG(there.st_mode);
}

// An overlayfs file only in a lower layer is copied up to be written, with
// its old bytes unless that same open empties it; they are not wanted, so it
// is emptied. One already in the upper layer is rewritten in place.
bool empty_when_opened(int probe, const struct stat& info)
{
    struct statfs where;
    return S_ISREG(info.st_mode) && fstatfs(probe, &where) == 0 &&
           where.f_type == OVERLAYFS_SUPER_MAGIC && !in_upper_layer(probe);
}

#endif

// The index of the input that is the same file as info, or count.
std::size_t input_index(const struct stat& info, std::FILE* const* inputs, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        struct stat other;
        if (fstat(fileno(inputs[i]), &other) == 0 && other.st_dev == info.st_dev &&
            other.st_ino == info.st_ino)
            return i;
    }
    return count;
}

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

std::FILE* open_output(const char* path, std::FILE* const* inputs, std::size_t count,
                       std::size_t* same)
{
    *same = count;
    int fd = -1;
#if defined(__linux__)
    // Compared before any open for writing, which on overlayfs would copy an
    // input up even when the run is then refused.
    int probe = open(path, O_PATH | O_CLOEXEC);
    struct stat found;
    if (probe >= 0 && fstat(probe, &found) == 0) {
        *same = input_index(found, inputs, count);
        if (*same == count)
            fd = reopen_for_writing(probe, empty_when_opened(probe, found) ? O_TRUNC : 0);
        int error = errno;
        close(probe);
        if (*same < count || (fd < 0 && error != ENOENT))
            return nullptr;
    } else if (probe >= 0) {
        close(probe);
    }
#endif
    if (fd < 0)
        fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return nullptr;
    // Checked again as open: a name swapped in after the look above may be an
    // input, which this open did not truncate.
    struct stat info;
    if (fstat(fd, &info) == 0)
        *same = input_index(info, inputs, count);
    std::FILE* stream = *same == count ? fdopen(fd, "wb") : nullptr;
    if (stream == nullptr)
        close(fd);
    return stream;
}

std::int64_t regular_length(std::FILE* stream)
{
    struct stat info;
    return is_regular(fileno(stream), &info) ? static_cast<std::int64_t>(info.st_size) : -1;
}

std::int64_t device_length(std::FILE* stream)
{
    int fd = fileno(stream);
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISBLK(info.st_mode))
        return -1;
    // Its end is its size, here as on every POSIX host.
    off_t kept = lseek(fd, 0, SEEK_CUR);
    off_t end = lseek(fd, 0, SEEK_END);
    lseek(fd, kept, SEEK_SET); // the stream counts on its position
    return end >= 0 ? static_cast<std::int64_t>(end) : -1;
}

bool flush_to_device(std::FILE* stream)
{
    if (std::fflush(stream) != 0)
        return false;
    // EINVAL: a pipe or the like, which holds nothing back to flush.
    return fsync(fileno(stream)) == 0 || errno == EINVAL;
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
        // A first call that ends on a boundary lets the others start on one,
        // which the page cache copies faster.
        std::int64_t misaligned = (offset + *copied) % KERNEL_COPY_ALIGNMENT;
        std::int64_t want =
            std::min(count - *copied,
                     misaligned != 0 ? KERNEL_COPY_ALIGNMENT - misaligned : KERNEL_COPY_CHUNK);
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
        // Only a full disk or quota is surely the destination's. Any other
        // error may say the kernel will not copy this pair, or come from
        // either file (EIO): the buffer copies the rest, and meets a real
        // error again on the side it belongs to.
        return ran_out_of_space() ? DESTINATION_UNWRITABLE : DONE;
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

bool close_output(std::FILE* destination)
{
    // Open twice, so that it can still be emptied once the close has failed.
    int spare = dup(fileno(destination));
    bool closed = std::fclose(destination) == 0;
    struct stat info;
    if (!closed && spare >= 0 && is_regular(spare, &info))
        (void)ftruncate(spare, 0);
    if (spare >= 0)
        close(spare);
    return closed;
}
