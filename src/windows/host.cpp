// SPDX-License-Identifier: MIT
// The host services on Windows. Paths arrive as UTF-8 and are opened through
// the wide API, so any name the file system accepts can be used.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#include <winioctl.h>

#include <cerrno>
#include <cstdarg>
#include <cwchar>
#include <string>

#include "host.h"

namespace {

// An empty result stands for a name that is not valid UTF-8, which no file has.
std::wstring widened(const char* text, DWORD flags = MB_ERR_INVALID_CHARS)
{
    int n = MultiByteToWideChar(CP_UTF8, flags, text, -1, nullptr, 0);
    if (n <= 0)
        return std::wstring();
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, flags, text, -1, &wide[0], n);
    wide.resize(static_cast<std::size_t>(n - 1));
    return wide;
}

// A console takes UTF-16 through WriteConsoleW, whatever its code page, with
// the line ends that the C runtime gives it elsewhere.
void write_console(HANDLE console, const std::string& text)
{
    std::wstring wide;
    for (wchar_t c : widened(text.c_str(), 0)) {
        if (c == L'\n')
            wide += L'\r';
        wide += c;
    }
    std::fflush(stdout);
    DWORD done = 0;
    WriteConsoleW(console, wide.data(), static_cast<DWORD>(wide.size()), &done, nullptr);
}

HANDLE handle_of(std::FILE* stream)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

// What a console control handler works on. It runs on a thread of its own,
// so every change to the destination is made under the lock, which the
// handler takes and never gives back: after its cut nothing is written.
struct stop_guard {
    SRWLOCK lock;
    HANDLE destination; // null when nothing is to be cut
    std::int64_t kept;
};
stop_guard guard = {SRWLOCK_INIT, nullptr, 0};

BOOL WINAPI on_console_stop(DWORD)
{
    close_progress_line();
    AcquireSRWLockExclusive(&guard.lock);
    LARGE_INTEGER size;
    if (guard.destination != nullptr && GetFileSizeEx(guard.destination, &size) &&
        size.QuadPart > guard.kept) {
        FILE_END_OF_FILE_INFO end;
        end.EndOfFile.QuadPart = guard.kept;
        SetFileInformationByHandle(guard.destination, FileEndOfFileInfo, &end, sizeof end);
    }
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    return TRUE;
}

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

// NOLINTNEXTLINE(cert-dcl50-cpp): a printf wrapper, whose formats the compiler checks
void print_text(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int n = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    if (n > 0)
        std::vsnprintf(&text[0], text.size() + 1, format, again);
    va_end(again);
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(out, &mode))
        write_console(out, text);
    else
        std::fwrite(text.data(), 1, text.size(), stdout); // the UTF-8 bytes as they are
}

std::string utf8_argument(const wchar_t* argument)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, argument, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        return std::string();
    std::string text(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, argument, -1, &text[0], n, nullptr, nullptr);
    text.resize(static_cast<std::size_t>(n - 1));
    return text;
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

bool set_length(std::FILE* stream, std::int64_t length)
{
    AcquireSRWLockExclusive(&guard.lock);
    bool done = _chsize_s(_fileno(stream), length) == 0;
    ReleaseSRWLockExclusive(&guard.lock);
    return done;
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

std::size_t write_out(std::FILE* destination, const void* bytes, std::size_t count)
{
    AcquireSRWLockExclusive(&guard.lock);
    std::size_t written = std::fwrite(bytes, 1, count, destination);
    ReleaseSRWLockExclusive(&guard.lock);
    return written;
}

void guard_destination(std::FILE* destination, file_kind kind)
{
    HANDLE handle = handle_of(destination);
    // A pipe or a device may block a write for good, and has nothing to cut:
    // there the default handling ends the process at once.
    if (kind != file_kind::regular && kind != file_kind::block_device)
        return;
    AcquireSRWLockExclusive(&guard.lock);
    guard.destination = handle;
    guard.kept = 0;
    ReleaseSRWLockExclusive(&guard.lock);
    SetConsoleCtrlHandler(on_console_stop, TRUE);
}

void keep_on_stop(std::int64_t kept)
{
    AcquireSRWLockExclusive(&guard.lock);
    guard.kept = kept;
    ReleaseSRWLockExclusive(&guard.lock);
}

void release_destination()
{
    AcquireSRWLockExclusive(&guard.lock);
    guard.destination = nullptr;
    ReleaseSRWLockExclusive(&guard.lock);
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
