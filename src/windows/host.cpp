// SPDX-License-Identifier: MIT
// The host services on Windows. Paths arrive as UTF-8 and are opened through
// the wide API, so any name the file system accepts can be used.
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>
#include <winioctl.h>

#include <cerrno>
#include <string>

#include "progress.h"
#include "system.h"

namespace {

// Creates path if absent, but never truncates it: its old bytes stay until
// it is known not to be an input.
std::FILE* open_for_writing(const std::wstring& path)
{
    // _wfopen has no mode that creates without truncating.
    int fd = _wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_BINARY, _S_IREAD | _S_IWRITE);
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
bool is_known(const file_facts& facts)
{
    return facts.kind != file_kind::unmeasured && (facts.id.device != 0 || facts.id.index != 0);
}

bool same_file(const file_facts& a, const file_facts& b)
{
    return is_known(a) && a.kind == b.kind && a.id.device == b.id.device &&
           a.id.index == b.id.index;
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
    file_facts facts = {file_kind::unmeasured, {0, 0}, {0, 0}, {0, 0, 0}, -1, false, false};
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
        bool folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        facts.kind = folder ? file_kind::directory : file_kind::regular;
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

// The index of the input that is the same file as facts, or count.
std::size_t input_index(const file_facts& facts, const file_facts* inputs, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
        if (same_file(facts, inputs[i]))
            return i;
    return count;
}

// Which input a path that cannot be opened for writing is, or count: an
// input is held without write sharing, so that no open for writing tells.
// Looked at only then, since a look at a named pipe would take its client's place.
std::size_t input_at(const std::wstring& path, const file_facts* inputs, std::size_t count)
{
    HANDLE look = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (look == INVALID_HANDLE_VALUE)
        return count;
    std::size_t input = input_index(measure_handle(look), inputs, count);
    CloseHandle(look);
    return input;
}

// One byte far past any data a file can hold: runs of the tool wait for each
// other there, while other programs read and write the file's bytes freely.
constexpr DWORD RUN_LOCK_OFFSET_LOW = 0xFFFFFFFE;
constexpr DWORD RUN_LOCK_OFFSET_HIGH = 0xFFFFFFFF;
constexpr DWORD RUN_LOCK_LENGTH = 1;

// Waits for any other run writing this file to end, and holds it off until
// the file is closed; false when that could not be done.
bool hold_for_this_run(HANDLE file, progress_line& line)
{
    OVERLAPPED at = {};
    at.Offset = RUN_LOCK_OFFSET_LOW;
    at.OffsetHigh = RUN_LOCK_OFFSET_HIGH;
    // Tried first, so that only a lock that another run holds is waited for
    // and told; off a console the wait is one blocking call.
    DWORD now = LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY;
    bool held = LockFileEx(file, now, 0, RUN_LOCK_LENGTH, 0, &at) != 0;
    while (!held && GetLastError() == ERROR_LOCK_VIOLATION && line.on_terminal) {
        count_waiting(line);
        Sleep(LOCK_RETRY_MS);
        held = LockFileEx(file, now, 0, RUN_LOCK_LENGTH, 0, &at) != 0;
    }
    if (!held && GetLastError() == ERROR_LOCK_VIOLATION)
        held = LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, RUN_LOCK_LENGTH, 0, &at) != 0;
    if (held)
        return true;
    DWORD error = GetLastError();
    // A file system without locks cannot hold other runs off: go on unlocked.
    return error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION;
}

} // namespace

HANDLE handle_of(std::FILE* stream)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

std::FILE* open_input(const char* path)
{
    std::wstring wide = widened(path);
    // Read sharing only: while the run holds an input, nothing can open it
    // for writing, DEST by any other name included.
    return wide.empty() ? nullptr : _wfsopen(wide.c_str(), L"rb", _SH_DENYWR);
}

file_facts measure_file(std::FILE* stream)
{
    return measure_handle(handle_of(stream));
}

// What cannot be told here is never compared, as the host gives no identity
// to pipes and consoles, and Wine none to some redirected files.
file_facts measure_report_output()
{
    file_facts none = {file_kind::stream, {0, 0}, {0, 0}, {0, 0, 0}, -1, false, false};
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    // A console or a device keeps no bytes, and a pipe has no identity here.
    if (out == nullptr || out == INVALID_HANDLE_VALUE || GetConsoleMode(out, &mode) ||
        GetFileType(out) != FILE_TYPE_DISK)
        return none;
    file_facts facts = measure_handle(out);
    if (is_known(facts))
        return facts;
    // A shell's redirection may open it for writing alone, which cannot read
    // what identifies it; a handle of our own can.
    HANDLE look = ReOpenFile(out, FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
    if (look == INVALID_HANDLE_VALUE)
        return none;
    facts = measure_handle(look);
    CloseHandle(look);
    return is_known(facts) ? facts : none;
}

output open_output(const char* path, const file_facts* inputs, std::size_t count,
                   progress_line& line)
{
    output result = {nullptr, open_verdict::cannot_open, count, {}};
    std::wstring wide = widened(path);
    if (wide.empty())
        return result;
    std::FILE* stream = open_for_writing(wide);
    if (stream == nullptr) {
        result.input = input_at(wide, inputs, count);
        if (result.input < count)
            result.verdict = open_verdict::same_as_input;
        return result;
    }
    HANDLE handle = handle_of(stream);
    // Measured only once no other run can still change it.
    bool held = GetFileType(handle) != FILE_TYPE_DISK || hold_for_this_run(handle, line);
    result.facts = held ? measure_handle(handle) : file_facts{};
    if (!held || result.facts.kind == file_kind::unmeasured) {
        result.verdict = open_verdict::unmeasured;
    } else {
        // Standard output shares writing; opening did not truncate it.
        result.input = input_index(result.facts, inputs, count);
        result.verdict = result.input < count ? open_verdict::same_as_input : open_verdict::opened;
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
