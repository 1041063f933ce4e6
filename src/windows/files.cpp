// SPDX-License-Identifier: MIT
// Files on Windows: opened, measured, read back, sought, cut, written,
// flushed and closed. Paths arrive as UTF-8 and are opened through the wide
// API, so any name the file system accepts can be used.
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "system.h"

namespace {

// A failed C runtime call's error: the system's (_doserrno), or its own (errno).
void clear_runtime_error()
{
    _doserrno = 0;
    errno = 0;
}

int runtime_error()
{
    if (_doserrno != 0)
        return static_cast<int>(_doserrno);
    return errno == EMFILE ? ERROR_TOO_MANY_OPEN_FILES : ERROR_INVALID_PARAMETER;
}

// Creates path if absent, but never truncates it: its old bytes stay until
// it is known not to be an input.
// made says whether this open created the file.
std::FILE* open_for_writing(const std::wstring& path, bool& made, int& error)
{
    clear_runtime_error();
    // _wfopen has no mode that creates without truncating.
    int fd = _wopen(path.c_str(), _O_WRONLY | _O_BINARY);
    made = fd < 0 && errno == ENOENT;
    if (made) {
        clear_runtime_error();
        fd = _wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_BINARY, _S_IREAD | _S_IWRITE);
    }
    std::FILE* stream = fd < 0 ? nullptr : _fdopen(fd, "wb");
    error = stream == nullptr ? runtime_error() : NO_REASON;
    if (stream == nullptr && fd >= 0)
        _close(fd);
    return stream;
}

// Why an input would not open: a folder (refused as access denied), or a writer, not one holding it
// alone.
int why_unopened(const std::wstring& path, int error)
{
    if (error == ERROR_ACCESS_DENIED && look_at(path).kind == file_kind::directory)
        return ERROR_DIRECTORY;
    if (error != ERROR_SHARING_VIOLATION)
        return error;
    // Opened beside writers, it would have been read: someone writes it.
    HANDLE shared =
        CreateFileW(path.c_str(), GENERIC_READ, SHARE_ALL, nullptr, OPEN_EXISTING, 0, nullptr);
    if (shared == INVALID_HANDLE_VALUE)
        return error;
    CloseHandle(shared);
    return REASON_HELD_FOR_WRITING;
}

} // namespace

// The C runtime reports inode 0 here, so identity is the volume serial number
// and the file id of each open handle.
file_facts measure_handle(HANDLE handle)
{
    file_facts facts = facts_of_kind(file_kind::unmeasured);
    DWORD type = GetFileType(handle);
    if (type == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR)
        return facts;
    if (type != FILE_TYPE_DISK) {
        facts.kind = file_kind::stream;
        return facts;
    }
    LARGE_INTEGER size;
    if (GetFileSizeEx(handle, &size)) {
        identity known = identity_or_reopened(handle);
        if (!known.known)
            return facts;
        facts.id = known.id;
        facts.length = size.QuadPart;
        facts.kind = known.folder ? file_kind::directory : file_kind::regular;
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
    identity known = identity_or_reopened(handle);
    if (known.known)
        facts.id = known.id;
    return facts;
}

HANDLE handle_of(std::FILE* stream)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

std::FILE* open_input(const char* path, int& error)
{
    std::wstring wide = widened(path);
    if (wide.empty()) {
        error = ERROR_INVALID_NAME;
        return nullptr;
    }
    // Read sharing only: while the run holds an input, nothing can open it
    // for writing, DEST by any other name included.
    clear_runtime_error();
    std::FILE* stream = _wfsopen(wide.c_str(), L"rb", _SH_DENYWR);
    error = stream == nullptr ? why_unopened(wide, runtime_error()) : NO_REASON;
    if (stream != nullptr)
        std::setvbuf(stream, nullptr, _IONBF, 0);
    return stream;
}

file_facts measure_file(std::FILE* stream)
{
    return measure_handle(handle_of(stream));
}

output open_output(const char* path, const output_request& request)
{
    // Inputs are held by their share mode: no run can open them for writing.
    const file_facts* inputs = request.inputs;
    std::size_t count = request.count;
    output result = {nullptr, open_verdict::cannot_open, count, {}, ERROR_INVALID_NAME};
    std::wstring wide = widened(path);
    if (wide.empty())
        return result;
    // Writing one would need read access to learn its length, writes a
    // sector long and a volume locked and dismounted first, none of which is
    // done yet. Told before it is opened for writing, and again by the handle
    // it opened as, in case the name was swapped in between.
    result.error = refused_before_open(wide);
    if (result.error != NO_REASON)
        return result;
    std::FILE* stream = open_for_writing(wide, result.made, result.error);
    if (stream == nullptr) {
        // An input is held without write sharing: which one is looked at only now.
        result.input = input_index(look_at(wide), inputs, count);
        if (result.input < count)
            result.verdict = open_verdict::same_as_input;
        return result;
    }
    HANDLE handle = handle_of(stream);
    if (is_disk_or_volume(handle)) {
        std::fclose(stream);
        result.error = REASON_DISK_OR_VOLUME;
        return result;
    }
    // Measured only once no other run can still change it.
    bool held = GetFileType(handle) != FILE_TYPE_DISK || hold_for_this_run(handle, request.turns);
    result.facts = held ? measure_handle(handle) : facts_of_kind(file_kind::unmeasured);
    if (!held || result.facts.kind == file_kind::unmeasured) {
        result.verdict = open_verdict::unmeasured;
    } else {
        // Standard output shares writing; opening did not truncate it.
        result.input = input_index(result.facts, inputs, count);
        result.verdict = result.input < count ? open_verdict::same_as_input : open_verdict::opened;
    }
    if (result.verdict == open_verdict::opened) {
        std::setvbuf(stream, nullptr, _IONBF, 0);
        result.stream = stream;
    } else {
        std::fclose(stream);
    }
    return result;
}

read_back_result read_back(std::FILE* input, std::int64_t offset, void* bytes, std::size_t n)
{
    HANDLE handle = handle_of(input);
    // Read at an offset, then put back where the runtime left the handle.
    LARGE_INTEGER zero = {};
    LARGE_INTEGER kept = {};
    if (!SetFilePointerEx(handle, zero, &kept, FILE_CURRENT))
        return {false, 0, static_cast<int>(GetLastError())};
    read_back_result result = {true, 0, NO_REASON};
    auto* into = static_cast<unsigned char*>(bytes);
    while (result.ok && result.got < n) {
        OVERLAPPED at = {};
        auto from = static_cast<std::uint64_t>(offset) + result.got;
        at.Offset = static_cast<DWORD>(from);
        at.OffsetHigh = static_cast<DWORD>(from >> 32);
        DWORD got = 0;
        DWORD want = static_cast<DWORD>(std::min<std::size_t>(n - result.got, MAXDWORD));
        bool read = ReadFile(handle, into + result.got, want, &got, &at) != 0;
        DWORD error = read ? NO_ERROR : GetLastError();
        result.ok = read || error == ERROR_HANDLE_EOF;
        result.error = result.ok ? NO_REASON : static_cast<int>(error);
        if (!read || got == 0)
            break;
        result.got += got;
    }
    if (!SetFilePointerEx(handle, kept, nullptr, FILE_BEGIN) && result.ok)
        result = {false, result.got, static_cast<int>(GetLastError())};
    return result;
}

bool flush_to_device(std::FILE* stream)
{
    // Nothing waits in the C runtime: writes go to the handle. A pipe or a
    // console holds nothing back to flush.
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
    clear_runtime_error();
    if (_fseeki64(stream, offset, SEEK_SET) == 0)
        return true;
    // Where last_error() reads it.
    SetLastError(static_cast<DWORD>(runtime_error()));
    return false;
}

bool ran_out_of_space(int error)
{
    return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL;
}

bool set_length(std::FILE* stream, std::int64_t length)
{
    enter_guard();
    bool done = set_end_of_file(handle_of(stream), length);
    leave_guard();
    return done;
}

// A stop waits for the piece under way alone: a slow disk or host then
// still ends one within WRITE_GRACE_MS, and the copy notices no extra calls.
constexpr std::size_t WRITE_PIECE = std::size_t{64} * 1024;

// A short count (Wine, redirectors) is written again, so that a full disk says why.
std::size_t write_out(std::FILE* destination, const void* bytes, std::size_t count)
{
    HANDLE handle = handle_of(destination);
    const auto* from = static_cast<const unsigned char*>(bytes);
    std::size_t written = 0;
    DWORD error = NO_ERROR;
    while (written < count) {
        auto piece = static_cast<DWORD>(std::min(count - written, WRITE_PIECE));
        DWORD done = 0;
        enter_guard();
        bool wrote = WriteFile(handle, from + written, piece, &done, nullptr) != 0;
        error = wrote ? NO_ERROR : GetLastError();
        leave_guard();
        written += done;
        if (!wrote || done == 0)
            break;
    }
    // Nothing written and no error told: the device took no more.
    SetLastError(written < count && error == NO_ERROR ? ERROR_WRITE_FAULT : error);
    return written;
}

std::FILE* duplicate_stream(std::FILE* stream, int& error)
{
    clear_runtime_error();
    int fd = _dup(_fileno(stream));
    std::FILE* spare = fd < 0 ? nullptr : _fdopen(fd, "wb");
    error = spare == nullptr ? runtime_error() : NO_REASON;
    if (spare != nullptr)
        std::setvbuf(spare, nullptr, _IONBF, 0);
    else if (fd >= 0)
        _close(fd);
    return spare;
}
