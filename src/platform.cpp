#include "platform.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#endif

#if defined(__linux__)
#include <cerrno>
#endif

#if defined(_WIN32)

// stat() reports inode 0 on Windows, so identity comes from the volume serial
// number and the file index of an open handle.
static bool identity_of(HANDLE handle, BY_HANDLE_FILE_INFORMATION* info)
{
    return handle != INVALID_HANDLE_VALUE && GetFileInformationByHandle(handle, info) != 0;
}

bool same_file(std::FILE* stream, const char* path)
{
    HANDLE held = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    // No access rights asked: this only looks, and works on files open elsewhere.
    HANDLE named = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (named == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION a;
    BY_HANDLE_FILE_INFORMATION b;
    bool same = identity_of(held, &a) && identity_of(named, &b) &&
                a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
                a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
    CloseHandle(named);
    return same;
}

bool seek_to(std::FILE* stream, std::int64_t offset)
{
    return _fseeki64(stream, offset, SEEK_SET) == 0;
}

#else

bool same_file(std::FILE* stream, const char* path)
{
    struct stat held;
    struct stat named;
    if (fstat(fileno(stream), &held) != 0 || stat(path, &named) != 0)
        return false;
    return held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

bool seek_to(std::FILE* stream, std::int64_t offset)
{
    return fseeko(stream, static_cast<off_t>(offset), SEEK_SET) == 0;
}

#endif

#if defined(__linux__)

// Bigger requests gain nothing and keep a single call from running for long.
static const std::size_t KERNEL_COPY_CHUNK = std::size_t{1} << 30;

// Errors that only say this pair of files cannot be copied by the kernel: the
// streaming path either succeeds or meets the real error and reports it.
static bool wants_streaming(int error)
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

static bool is_regular(int fd)
{
    struct stat info;
    return fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

copy_fault kernel_copy(std::FILE* source, std::FILE* destination, std::int64_t* copied)
{
    int in = fileno(source);
    int out = fileno(destination);
    *copied = 0;
    if (!is_regular(in) || !is_regular(out))
        return COPY_OK;
    // Explicit offsets leave both descriptors' positions at 0 for the streams.
    off_t in_offset = 0;
    off_t out_offset = 0;
    for (;;) {
        ssize_t n = copy_file_range(in, &in_offset, out, &out_offset, KERNEL_COPY_CHUNK, 0);
        if (n > 0) {
            *copied += n;
            continue;
        }
        // End of file, or a file system (procfs, some overlays) that copies
        // nothing: whatever is left is streamed from *copied on.
        if (n == 0)
            return COPY_OK;
        if (errno == EINTR)
            continue;
        if (wants_streaming(errno))
            return COPY_OK;
        return errno == ENOSPC || errno == EDQUOT ? COPY_WRITE_FAILED : COPY_READ_FAILED;
    }
}

#else

copy_fault kernel_copy(std::FILE*, std::FILE*, std::int64_t* copied)
{
    *copied = 0;
    return COPY_OK;
}

#endif
