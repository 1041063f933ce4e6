// SPDX-License-Identifier: MIT
// What a stop (Ctrl-C, Ctrl-Break, a closed console, logging off, shutting
// down) does to the destination on Windows.
#include <io.h>
#include <windows.h>

#include <cstdint>

#include "system.h"

namespace {

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

// Registered first, so called last: where no destination is guarded, the
// default handling then ends the process.
BOOL WINAPI erase_on_stop(DWORD)
{
    close_progress_line();
    return FALSE;
}

} // namespace

void watch_stops()
{
    SetConsoleCtrlHandler(erase_on_stop, TRUE);
}

bool set_length(std::FILE* stream, std::int64_t length)
{
    AcquireSRWLockExclusive(&guard.lock);
    bool done = _chsize_s(_fileno(stream), length) == 0;
    ReleaseSRWLockExclusive(&guard.lock);
    return done;
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
