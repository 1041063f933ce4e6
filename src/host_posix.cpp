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

// Bytes in a unit of st_blocks.
constexpr std::int64_t STAT_BLOCK = 512;

// Moves fd to offset and back, where the stream expects it; -1 if either
// move failed, which leaves the stream's position unknown.
off_t probe_seek(int fd, off_t offset, int whence)
{
    off_t kept = lseek(fd, 0, SEEK_CUR);
    if (kept < 0)
        return -1;
    off_t found = lseek(fd, offset, whence);
    int error = errno;
    if (lseek(fd, kept, SEEK_SET) != kept)
        return -1;
    errno = error;
    return found;
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
    std::int64_t kept = guarded_kept.load();
    // Only a regular file is guarded; one that cannot be measured is cut all the same.
    if (fd >= 0 && (fstat(fd, &info) != 0 || info.st_size > kept))
        (void)ftruncate(fd, static_cast<off_t>(kept));
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
// outside it: emptying is always safe here, as the inputs were ruled out.
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

// How the destination is to be opened for writing.
enum class reopen { in_place, emptied, unmeasured };

// An overlayfs file only in a lower layer is copied up to be written, with
// its old bytes unless that same open empties it; they are not wanted, so it
// is emptied. One already in the upper layer is rewritten in place.
reopen how_to_reopen(int probe, const struct stat& info)
{
    struct statfs where;
    if (!S_ISREG(info.st_mode))
        return reopen::in_place;
    if (fstatfs(probe, &where) != 0)
        return reopen::unmeasured;
    return where.f_type == OVERLAYFS_SUPER_MAGIC && !in_upper_layer(probe) ? reopen::emptied
                                                                           : reopen::in_place;
}

#endif

file_id id_of(const struct stat& info)
{
    return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

// The index of the input that is the same file as id, or count.
std::size_t input_index(file_id id, const file_facts* inputs, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
        if (inputs[i].id.device == id.device && inputs[i].id.index == id.index)
            return i;
    return count;
}

file_facts measure_descriptor(int fd)
{
    file_facts facts = {file_kind::unmeasured, {0, 0}, -1, false, false};
    struct stat info;
    if (fstat(fd, &info) != 0)
        return facts;
    facts.id = id_of(info);
    if (S_ISBLK(info.st_mode)) {
        // Its end is its size, here as on every POSIX host.
        off_t end = probe_seek(fd, 0, SEEK_END);
        if (end < 0)
            return facts;
        facts.length = static_cast<std::int64_t>(end);
        facts.kind = file_kind::block_device;
        return facts;
    }
    if (!S_ISREG(info.st_mode)) {
        facts.kind = file_kind::stream;
        return facts;
    }
    facts.length = static_cast<std::int64_t>(info.st_size);
    facts.sparse = static_cast<std::int64_t>(info.st_blocks) * STAT_BLOCK < facts.length;
#if defined(SEEK_HOLE)
    if (facts.sparse) {
        off_t hole = probe_seek(fd, 0, SEEK_HOLE);
        if (hole < 0)
            return facts;
        facts.hides_holes = hole >= info.st_size;
    }
#endif
    facts.kind = file_kind::regular;
    return facts;
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

file_facts measure_file(std::FILE* stream)
{
    return measure_descriptor(fileno(stream));
}

output open_output(const char* path, const file_facts* inputs, std::size_t count)
{
    output result = {nullptr, open_verdict::cannot_open, count, {}};
    int fd = -1;
#if defined(__linux__)
    // Compared before any open for writing, which on overlayfs would copy an
    // input up even when the run is then refused.
    int probe = open(path, O_PATH | O_CLOEXEC);
    if (probe >= 0) {
        struct stat found;
        reopen how = reopen::unmeasured;
        if (fstat(probe, &found) == 0) {
            result.input = input_index(id_of(found), inputs, count);
            how = result.input < count ? reopen::in_place : how_to_reopen(probe, found);
        }
        if (result.input == count && how != reopen::unmeasured)
            fd = reopen_for_writing(probe, how == reopen::emptied ? O_TRUNC : 0);
        int error = errno;
        close(probe);
        if (result.input < count) {
            result.verdict = open_verdict::same_as_input;
            return result;
        }
        if (how == reopen::unmeasured) {
            result.verdict = open_verdict::unmeasured;
            return result;
        }
        if (fd < 0 && error != ENOENT)
            return result;
    }
#endif
    if (fd < 0)
        fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return result;
    // Checked again as open: a name swapped in after the look above may be an
    // input, which this open did not truncate.
    result.facts = measure_descriptor(fd);
    if (result.facts.kind == file_kind::unmeasured) {
        result.verdict = open_verdict::unmeasured;
    } else {
        result.input = input_index(result.facts.id, inputs, count);
        if (result.input < count)
            result.verdict = open_verdict::same_as_input;
        else if ((result.stream = fdopen(fd, "wb")) != nullptr)
            result.verdict = open_verdict::opened;
    }
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
        else
            stretch.result = SOURCE_UNREADABLE;
        return stretch;
    }
    // Data and holes may change under us: every step must move forward.
    if (data < offset)
        return stretch;
    stretch.start = std::min(static_cast<std::int64_t>(data), length);
    off_t hole = probe_seek(fd, data, SEEK_HOLE);
    if (hole < 0)
        stretch.result = SOURCE_UNREADABLE;
    else if (hole > data)
        stretch.end = std::min(static_cast<std::int64_t>(hole), length);
#else
    (void)source;
#endif
    return stretch;
}

std::size_t widen_pipe(std::FILE* stream, std::size_t wanted)
{
#if defined(F_SETPIPE_SZ) && defined(F_GETPIPE_SZ)
    int fd = fileno(stream);
    fcntl(fd, F_SETPIPE_SZ, static_cast<int>(wanted)); // a smaller pipe still works
    int size = fcntl(fd, F_GETPIPE_SZ);
    return size > 0 ? static_cast<std::size_t>(size) : 0;
#else
    (void)stream;
    (void)wanted;
    return 0;
#endif
}

copied kernel_copy(std::FILE* source, std::FILE* destination, std::int64_t offset,
                   std::int64_t count)
{
    copied done = {DONE, 0};
#if defined(__linux__)
    int in = fileno(source);
    int out = fileno(destination);
    // Explicit offsets leave both descriptors' positions to the streams.
    off_t in_offset = static_cast<off_t>(offset);
    off_t out_offset = static_cast<off_t>(offset);
    while (done.bytes < count) {
        // A first call that ends on a boundary lets the others start on one,
        // which the page cache copies faster.
        std::int64_t misaligned = (offset + done.bytes) % KERNEL_COPY_ALIGNMENT;
        std::int64_t want =
            std::min(count - done.bytes,
                     misaligned != 0 ? KERNEL_COPY_ALIGNMENT - misaligned : KERNEL_COPY_CHUNK);
        ssize_t n =
            copy_file_range(in, &in_offset, out, &out_offset, static_cast<std::size_t>(want), 0);
        if (n > 0) {
            done.bytes += n;
            continue;
        }
        // End of file, or a file system (procfs, some overlays) that copies
        // nothing: the caller's buffer takes over from there.
        if (n == 0)
            return done;
        if (errno == EINTR)
            continue;
        // Only a full disk or quota is surely the destination's. Any other
        // error may say the kernel will not copy this pair, or come from
        // either file (EIO): the buffer copies the rest, and meets a real
        // error again on the side it belongs to.
        if (ran_out_of_space())
            done.result = DESTINATION_UNWRITABLE;
        return done;
    }
#else
    (void)source;
    (void)destination;
    (void)offset;
    (void)count;
#endif
    return done;
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

std::int64_t current_length(std::FILE* stream)
{
    struct stat info;
    return fstat(fileno(stream), &info) == 0 ? static_cast<std::int64_t>(info.st_size) : -1;
}

void shorten_to(std::FILE* stream, std::int64_t length)
{
    std::int64_t now = current_length(stream);
    // Already failing: a cut that fails too leaves nothing better to do.
    if (now < 0 || now > length)
        (void)ftruncate(fileno(stream), static_cast<off_t>(length));
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

void guard_destination(std::FILE* destination, file_kind kind)
{
    guarded_kept.store(0);
    // Only a regular file has a length to cut back to.
    if (kind == file_kind::regular)
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
