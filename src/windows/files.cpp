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
#include <cwchar>
#include <cwctype>
#include <string>
#include <vector>

#include "system.h"

namespace {

// How DEST is shared while this run holds it, as the C runtime's own opens share.
constexpr DWORD SHARE_READ_WRITE = FILE_SHARE_READ | FILE_SHARE_WRITE;

// The device namespace's prefixes, and the names in it of a whole disk or of
// a volume, in upper case.
constexpr const wchar_t* DEVICE_PREFIXES[] = {L"\\\\.\\", L"\\\\?\\"};
constexpr const wchar_t* DISK_NAMES[] = {L"PHYSICALDRIVE",
                                         L"HARDDISK",
                                         L"CDROM",
                                         L"VOLUME{",
                                         L"GLOBALROOT\\DEVICE\\HARDDISK",
                                         L"GLOBALROOT\\DEVICE\\CDROM"};
constexpr std::size_t DRIVE_NAME_LENGTH = 2; // "E:"

// Whether path names a disk or a volume itself, not a file on it, however
// it is spelt.
bool names_disk_or_volume(const std::wstring& path)
{
    DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    std::vector<wchar_t> full(needed + 1, L'\0');
    if (needed == 0 || GetFullPathNameW(path.c_str(), needed + 1, full.data(), nullptr) > needed)
        return false;
    std::wstring name(full.data());
    for (wchar_t& c : name)
        c = static_cast<wchar_t>(towupper(c));
    for (const wchar_t* prefix : DEVICE_PREFIXES) {
        if (name.rfind(prefix, 0) != 0)
            continue;
        std::wstring rest = name.substr(std::wcslen(prefix));
        if (rest.size() == DRIVE_NAME_LENGTH && rest[1] == L':')
            return true;
        for (const wchar_t* disk : DISK_NAMES)
            if (rest.rfind(disk, 0) == 0)
                return rest.find(L'\\', std::wcslen(disk)) == std::wstring::npos;
    }
    return false;
}

// Opened as a file, a disk or a volume has no file size.
bool is_disk_or_volume(HANDLE handle)
{
    LARGE_INTEGER size;
    return GetFileType(handle) == FILE_TYPE_DISK && !GetFileSizeEx(handle, &size);
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
        // A file stands on itself: nothing under it is told apart here.
        facts.under.place[0] = {known.id, 0, INT64_MAX};
        facts.under.count = 1;
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
    // Shared for writing until the run holds its turns: another run may be
    // writing it, and is waited for; keep_writers_off then holds others off.
    std::FILE* stream = _wfsopen(wide.c_str(), L"rb", _SH_DENYNO);
    error = stream == nullptr ? static_cast<int>(GetLastError()) : NO_REASON;
    if (stream != nullptr)
        std::setvbuf(stream, nullptr, _IONBF, 0);
    return stream;
}

opened open_output(const char* path, host_file, output_open)
{
    std::wstring wide = widened(path);
    if (wide.empty())
        return {NO_FILE, ERROR_INVALID_NAME};
    // Writing one would need read access to learn its length, writes a
    // sector long and a volume locked and dismounted first, none of which is
    // done yet.
    if (names_disk_or_volume(wide))
        return {NO_FILE, REASON_DISK_OR_VOLUME};
    // Created if absent, but never cut: its old bytes stay until it is
    // known not to be an input.
    HANDLE out = CreateFileW(wide.c_str(), GENERIC_WRITE, SHARE_READ_WRITE, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    // Held without write sharing by a run that reads it: its turn tells when.
    if (out == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION)
        out = CreateFileW(wide.c_str(), GENERIC_READ, SHARE_READ_WRITE, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE)
        return {NO_FILE, static_cast<int>(GetLastError())};
    if (GetFileType(out) != FILE_TYPE_DISK)
        return {reinterpret_cast<host_file>(out), NO_REASON};
    if (is_disk_or_volume(out)) {
        CloseHandle(out);
        return {NO_FILE, REASON_DISK_OR_VOLUME};
    }
    // Held for reading only until the run writes it, so that no run waiting
    // for its turn keeps open for writing a file that another run holds.
    HANDLE held = ReOpenFile(out, GENERIC_READ, SHARE_READ_WRITE, 0);
    if (held == INVALID_HANDLE_VALUE)
        return {reinterpret_cast<host_file>(out), NO_REASON};
    CloseHandle(out);
    return {reinterpret_cast<host_file>(held), NO_REASON};
}

std::FILE* open_writer(host_file file, const file_facts&, int& error)
{
    HANDLE held = reinterpret_cast<HANDLE>(file);
    HANDLE out = INVALID_HANDLE_VALUE;
    // A pipe or a console was opened for writing already.
    if (GetFileType(held) == FILE_TYPE_DISK)
        out = ReOpenFile(held, GENERIC_WRITE, SHARE_READ_WRITE, 0);
    else if (!DuplicateHandle(GetCurrentProcess(), held, GetCurrentProcess(), &out, 0, FALSE,
                              DUPLICATE_SAME_ACCESS))
        out = INVALID_HANDLE_VALUE;
    int fd = out == INVALID_HANDLE_VALUE
                 ? -1
                 : _open_osfhandle(reinterpret_cast<intptr_t>(out), _O_WRONLY | _O_BINARY);
    std::FILE* stream = fd < 0 ? nullptr : _fdopen(fd, "wb");
    error = stream == nullptr ? static_cast<int>(GetLastError()) : NO_REASON;
    if (stream != nullptr)
        std::setvbuf(stream, nullptr, _IONBF, 0);
    else if (fd >= 0)
        _close(fd);
    else if (out != INVALID_HANDLE_VALUE)
        CloseHandle(out);
    return stream;
}

void close_file(host_file file)
{
    if (file != NO_FILE)
        CloseHandle(reinterpret_cast<HANDLE>(file));
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
    return _fseeki64(stream, offset, SEEK_SET) == 0;
}

bool ran_out_of_space(int error)
{
    return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL;
}

bool set_length(std::FILE* stream, std::int64_t length)
{
    enter_guard();
    bool done = _chsize_s(_fileno(stream), length) == 0;
    leave_guard();
    return done;
}

// A stop waits for the piece under way alone: a slow disk or host then
// still ends one within WRITE_GRACE_MS, and the copy notices no extra calls.
constexpr std::size_t WRITE_PIECE = std::size_t{64} * 1024;

std::size_t write_out(std::FILE* destination, const void* bytes, std::size_t count)
{
    const auto* from = static_cast<const unsigned char*>(bytes);
    std::size_t written = 0;
    while (written < count) {
        std::size_t piece = std::min(count - written, WRITE_PIECE);
        enter_guard();
        std::size_t done = std::fwrite(from + written, 1, piece, destination);
        leave_guard();
        written += done;
        if (done != piece)
            break;
    }
    return written;
}

std::FILE* duplicate_stream(std::FILE* stream, int& error)
{
    int fd = _dup(_fileno(stream));
    std::FILE* spare = fd < 0 ? nullptr : _fdopen(fd, "wb");
    error = spare == nullptr ? static_cast<int>(GetLastError()) : NO_REASON;
    if (spare != nullptr)
        std::setvbuf(spare, nullptr, _IONBF, 0);
    else if (fd >= 0)
        _close(fd);
    return spare;
}
