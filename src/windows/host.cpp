// SPDX-License-Identifier: MIT
// The host services on Windows. Paths arrive as UTF-8 and are opened through
// the wide API, so any name the file system accepts can be used.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#include <winioctl.h>

#include <cerrno>
#include <string>

#include "system.h"

namespace {

// Creates path if absent, but never truncates it: its old bytes stay until
// it is known not to be an input.
std::FILE* open_for_writing(const char* path)
{
    std::wstring wide = widened(path);
    if (wide.empty())
        return nullptr;
    // _wfopen has no mode that creates without truncating.
    int fd = _wopen(wide.c_str(), _O_WRONLY | _O_CREAT | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0)
        return nullptr;
    std::FILE* stream = _fdopen(fd, "wb");
    if (stream == nullptr)
        _close(fd);
    return stream;
}

// Bits in the low half of a file index.
constexpr int INDEX_LOW_BITS = 32;

// A pipe or a console has no identity here, nor a volume that does not tell
// its own: those have none, and are never one of the inputs.
bool same_file(const file_facts& a, const file_facts& b)
{
    bool known = a.id.device != 0 || a.id.index != 0;
    return known && a.kind == b.kind && a.id.device == b.id.device && a.id.index == b.id.index;
}

file_id id_of(const BY_HANDLE_FILE_INFORMATION& info)
{
    return {info.dwVolumeSerialNumber,
            (std::uint64_t{info.nFileIndexHigh} << INDEX_LOW_BITS) | info.nFileIndexLow};
}

// The C runtime reports inode 0 here, so identity is the volume serial number
// and the file index of each open handle.
file_facts measure_handle(HANDLE handle)
{
    file_facts facts = {file_kind::unmeasured, {0, 0}, {0, 0}, -1, false, false};
    DWORD type = GetFileType(handle);
    if (type == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR)
        return facts;
    if (type != FILE_TYPE_DISK) {
        facts.kind = file_kind::stream;
        return facts;
    }
    LARGE_INTEGER size;
    if (GetFileSizeEx(handle, &size)) {
        BY_HANDLE_FILE_INFORMATION info;
        if (!GetFileInformationByHandle(handle, &info))
            return facts;
        facts.id = id_of(info);
        facts.length = size.QuadPart;
        facts.kind = file_kind::regular;
        return facts;
    }
    // A volume or a disk opened as a file has no file size, only a length.
    GET_LENGTH_INFORMATION info;
    DWORD got = 0;
    if (!DeviceIoControl(handle, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &info, sizeof info, &got,
                         nullptr))
        return facts;
    facts.length = info.Length.QuadPart;
    facts.kind = file_kind::block_device;
    BY_HANDLE_FILE_INFORMATION identity;
    if (GetFileInformationByHandle(handle, &identity))
        facts.id = id_of(identity);
    return facts;
}

} // namespace

HANDLE handle_of(std::FILE* stream)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

std::FILE* open_input(const char* path)
{
    std::wstring wide = widened(path);
    return wide.empty() ? nullptr : _wfopen(wide.c_str(), L"rb");
}

file_facts measure_file(std::FILE* stream)
{
    return measure_handle(handle_of(stream));
}

output open_output(const char* path, const file_facts* inputs, std::size_t count)
{
    output result = {nullptr, open_verdict::cannot_open, count, {}};
    std::FILE* stream = open_for_writing(path);
    if (stream == nullptr)
        return result;
    // Opening did not truncate, so an input found here has lost nothing.
    result.facts = measure_file(stream);
    result.verdict = result.facts.kind == file_kind::unmeasured ? open_verdict::unmeasured
                                                                : open_verdict::opened;
    for (std::size_t i = 0; i < count && result.verdict == open_verdict::opened; ++i)
        if (same_file(result.facts, inputs[i])) {
            result.input = i;
            result.verdict = open_verdict::same_as_input;
        }
    if (result.verdict == open_verdict::opened)
        result.stream = stream;
    else
        std::fclose(stream);
    return result;
}

bool flush_to_device(std::FILE* stream)
{
    if (std::fflush(stream) != 0)
        return false;
    // A pipe or a console holds nothing back to flush.
    return FlushFileBuffers(handle_of(stream)) || GetLastError() == ERROR_INVALID_FUNCTION;
}

// Holes are copied as zeros here.
data_stretch next_data(std::FILE*, std::int64_t offset, std::int64_t length)
{
    return {DONE, offset, length};
}

std::int64_t current_length(std::FILE* stream)
{
    LARGE_INTEGER size;
    return GetFileSizeEx(handle_of(stream), &size) ? size.QuadPart : -1;
}

bool seek_to(std::FILE* stream, std::int64_t offset)
{
    return _fseeki64(stream, offset, SEEK_SET) == 0;
}

bool ran_out_of_space()
{
    return errno == ENOSPC;
}

bool close_output(std::FILE* destination, file_kind kind)
{
    // Open twice, so that it can still be emptied once the close has failed.
    int spare = kind == file_kind::regular ? _dup(_fileno(destination)) : -1;
    if (kind == file_kind::regular && spare < 0) {
        // Without a spare a failed close could not be undone: fail first.
        (void)set_length(destination, 0);
        std::fclose(destination);
        return false;
    }
    bool closed = std::fclose(destination) == 0;
    if (!closed && spare >= 0)
        (void)_chsize_s(spare, 0);
    if (spare >= 0)
        _close(spare);
    return closed;
}
