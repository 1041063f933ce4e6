// SPDX-License-Identifier: MIT
// Files on Windows: opened, read back, sought, cut, written, flushed and closed; UTF-8
// paths are opened through the wide API, so any name the file system accepts can be used.
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>

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

// How DEST is shared while this run holds it, as the C runtime's own opens share.
constexpr DWORD SHARE_READ_WRITE = FILE_SHARE_READ | FILE_SHARE_WRITE;

} // namespace

std::FILE* open_input(const char* path, int& error)
{
    std::wstring wide = widened(path);
    if (wide.empty()) {
        error = ERROR_INVALID_NAME;
        return nullptr;
    }
    // Shared for writing: a run writing it is waited for, then keep_writers_off holds others off.
    clear_runtime_error();
    std::FILE* stream = _wfsopen(wide.c_str(), L"rb", _SH_DENYNO);
    error = stream == nullptr ? runtime_error() : NO_REASON;
    // Windows refuses a folder as access denied: say that it is one.
    if (error == ERROR_ACCESS_DENIED && measure_path(wide).kind == file_kind::directory)
        error = ERROR_DIRECTORY;
    if (stream != nullptr)
        std::setvbuf(stream, nullptr, _IONBF, 0);
    return stream;
}

opened open_output(const char* path, const looked&, output_open)
{
    std::wstring wide = widened(path);
    if (wide.empty())
        return {NO_FILE, ERROR_INVALID_NAME, false};
    // A disk or volume would need read access for its length, whole sectors and
    // a dismount, none done yet: refused by name, then by handle against a swap.
    int refused = refused_before_open(wide);
    if (refused != NO_REASON)
        return {NO_FILE, refused, false};
    // Created if absent, never cut: its bytes stay until it is known not to be an input.
    HANDLE out = CreateFileW(wide.c_str(), GENERIC_WRITE, SHARE_READ_WRITE, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    bool made = out != INVALID_HANDLE_VALUE && GetLastError() != ERROR_ALREADY_EXISTS;
    // Held without write sharing by a run that reads it: its turn tells when.
    if (out == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION)
        out = CreateFileW(wide.c_str(), GENERIC_READ, SHARE_READ_WRITE, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE)
        return {NO_FILE, static_cast<int>(GetLastError()), false};
    if (GetFileType(out) != FILE_TYPE_DISK)
        return {reinterpret_cast<host_file>(out), NO_REASON, false};
    if (is_disk_or_volume(out)) {
        CloseHandle(out);
        return {NO_FILE, REASON_DISK_OR_VOLUME, false};
    }
    // Held for reading until the run writes it, so that no run waiting for its turn
    // keeps another's file open for writing; with the right to date a failed one.
    HANDLE held = ReOpenFile(out, GENERIC_READ | FILE_WRITE_ATTRIBUTES, SHARE_READ_WRITE, 0);
    if (held == INVALID_HANDLE_VALUE)
        return {reinterpret_cast<host_file>(out), NO_REASON, made};
    CloseHandle(out);
    return {reinterpret_cast<host_file>(held), NO_REASON, made};
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

ended read_back(std::FILE* input, std::int64_t offset, void* bytes, std::size_t n,
                outcome unreadable)
{
    HANDLE handle = handle_of(input);
    // Read at an offset, then put back where the runtime left the handle.
    LARGE_INTEGER kept = {};
    if (!SetFilePointerEx(handle, LARGE_INTEGER{}, &kept, FILE_CURRENT))
        return {unreadable, static_cast<int>(GetLastError())};
    ended result = {DONE};
    auto* into = static_cast<unsigned char*>(bytes);
    std::size_t done = 0;
    while (result.result == DONE && done < n) {
        OVERLAPPED at = at_byte(static_cast<std::uint64_t>(offset) + done);
        DWORD got = 0;
        DWORD want = static_cast<DWORD>(std::min<std::size_t>(n - done, MAXDWORD));
        bool read = ReadFile(handle, into + done, want, &got, &at) != 0;
        DWORD error = read ? NO_ERROR : GetLastError();
        if (!read && error != ERROR_HANDLE_EOF)
            result = {unreadable, static_cast<int>(error)};
        if (!read || got == 0)
            break;
        done += got;
    }
    if (!SetFilePointerEx(handle, kept, nullptr, FILE_BEGIN) && result.result == DONE)
        result = {unreadable, static_cast<int>(GetLastError())};
    result.reached = static_cast<std::int64_t>(done);
    return result;
}

bool flush_to_device(std::FILE* stream)
{
    // Writes go straight to the handle; a pipe or a console has nothing to flush.
    return FlushFileBuffers(handle_of(stream)) || GetLastError() == ERROR_INVALID_FUNCTION;
}

// Holes are copied as zeros here.
ended next_data(std::FILE*, std::int64_t offset, std::int64_t length, data_stretch& found)
{
    found = {offset, length, false};
    return {DONE};
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
