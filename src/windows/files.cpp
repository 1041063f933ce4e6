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
#include <winternl.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "devices.h"
#include "system.h"

namespace {

// The error of a C runtime call that just failed: the system's, which the
// runtime keeps in _doserrno when a system call failed, or its own in errno.
// Cleared before the call, so that none is left from an earlier one.
void clear_runtime_error()
{
    _doserrno = 0;
    errno = 0;
}

int runtime_error()
{
    if (_doserrno != 0)
        return static_cast<int>(_doserrno);
    if (errno == EMFILE)
        return ERROR_TOO_MANY_OPEN_FILES;
    return errno == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_PARAMETER;
}

// A failed primitive that the core asks last_error() about: its error is put
// where that reads it.
bool runtime_failed()
{
    SetLastError(static_cast<DWORD>(runtime_error()));
    return false;
}

// Creates path if absent, but never truncates it: its old bytes stay until
// it is known not to be an input.
std::FILE* open_for_writing(const std::wstring& path, int& error)
{
    clear_runtime_error();
    // _wfopen has no mode that creates without truncating.
    int fd = _wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_BINARY, _S_IREAD | _S_IWRITE);
    std::FILE* stream = fd < 0 ? nullptr : _fdopen(fd, "wb");
    error = stream == nullptr ? runtime_error() : NO_REASON;
    if (stream == nullptr && fd >= 0)
        _close(fd);
    return stream;
}

// What a handle's device answers, for telling a disk or a volume from a file.
device_answers device_of(HANDLE handle)
{
    device_answers answers = {};
    FILE_FS_DEVICE_INFORMATION device = {};
    IO_STATUS_BLOCK io = {};
    answers.device_told = NtQueryVolumeInformationFile(handle, &io, &device, sizeof device,
                                                       FileFsDeviceInformation) >= 0;
    answers.device_type = device.DeviceType;
    answers.characteristics = device.Characteristics;
    FILE_STANDARD_INFO standard;
    answers.standard_told =
        GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard) != 0;
    // Asks for no access right, so that a handle opened only to look can tell.
    DISK_GEOMETRY geometry;
    DWORD got = 0;
    answers.geometry_told = DeviceIoControl(handle, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0,
                                            &geometry, sizeof geometry, &got, nullptr) != 0;
    return answers;
}
static_assert(DEVICE_DISK == FILE_DEVICE_DISK && DEVICE_CD_ROM == FILE_DEVICE_CD_ROM &&
                  DEVICE_VIRTUAL_DISK == FILE_DEVICE_VIRTUAL_DISK && DEVICE_DVD == FILE_DEVICE_DVD,
              "Windows's device types");

// A look at a named pipe would take its client's place: the pipes' own
// namespace is never looked at before it is opened.
bool names_a_pipe(const std::wstring& path)
{
    DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    std::vector<wchar_t> full(needed + 1, L'\0');
    if (needed == 0 || GetFullPathNameW(path.c_str(), needed + 1, full.data(), nullptr) > needed)
        return false;
    for (const wchar_t* prefix : {L"\\\\.\\pipe\\", L"\\\\?\\pipe\\"})
        if (_wcsnicmp(full.data(), prefix, std::wcslen(prefix)) == 0)
            return true;
    return false;
}

// Why DEST must not be opened for writing, told by a look without write
// access: a folder, or a disk or a volume, by whatever name.
int refused_before_open(const std::wstring& path)
{
    HANDLE look = names_a_pipe(path) ? INVALID_HANDLE_VALUE : open_to_look(path);
    if (look == INVALID_HANDLE_VALUE)
        return NO_REASON;
    int reason = NO_REASON;
    if (disk_or_volume(device_of(look)))
        reason = REASON_DISK_OR_VOLUME;
    else if (identity_or_reopened(look).folder)
        reason = ERROR_DIRECTORY;
    CloseHandle(look);
    return reason;
}

// Why an input would not open, in the tool's words where it has them: a
// folder, which CreateFile refuses as if access were denied, and a program
// that writes the file, told from one that holds it alone.
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
    std::FILE* stream = open_for_writing(wide, result.error);
    if (stream == nullptr) {
        result.input = input_at(wide, inputs, count);
        if (result.input < count)
            result.verdict = open_verdict::same_as_input;
        return result;
    }
    HANDLE handle = handle_of(stream);
    if (disk_or_volume(device_of(handle))) {
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
    clear_runtime_error();
    return _fseeki64(stream, offset, SEEK_SET) == 0 || runtime_failed();
}

bool ran_out_of_space(int error)
{
    return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL;
}

bool set_end_of_file(HANDLE file, std::int64_t length)
{
    FILE_END_OF_FILE_INFO end;
    end.EndOfFile.QuadPart = length;
    return SetFileInformationByHandle(file, FileEndOfFileInfo, &end, sizeof end) != 0;
}

bool set_length(std::FILE* stream, std::int64_t length)
{
    enter_guard();
    bool done = set_end_of_file(handle_of(stream), length);
    DWORD error = GetLastError();
    leave_guard();
    SetLastError(error);
    return done;
}

// A stop waits for the piece under way alone: a slow disk or host then
// still ends one within WRITE_GRACE_MS, and the copy notices no extra calls.
constexpr std::size_t WRITE_PIECE = std::size_t{64} * 1024;

// A short count is written again, so that a write that cannot go on says
// why (a full disk): Wine and network redirectors write short first.
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
