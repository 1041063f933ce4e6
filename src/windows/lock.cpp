// SPDX-License-Identifier: MIT
// How files are held on Windows: turns between runs of the tool (a lock on one byte
// far past any data), writers held off an input by a reopen that shares no writing,
// two handles told to be one file by a byte only this process locks, and a lock taken
// within a time. How a run waits for its turns is the core's (opening.cpp).
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdint>

#include "system.h"

namespace {

// Runs of the tool wait for each other at the turns' byte, far from any byte others
// use; below it each process has a byte of its own, which meets no lock but its own.
constexpr std::uint64_t TURN_BYTE = 0xFFFFFFFFFFFFFFFE;
constexpr std::uint64_t OWN_BYTES = 0xFFFFFFFE00000000;
constexpr DWORD LOCK_LENGTH = 1;

// How often a lock taken within a time is tried again.
constexpr DWORD LOCK_POLL_MS = 10;

bool lock_byte(host_file file, std::uint64_t offset, DWORD flags)
{
    OVERLAPPED at = at_byte(offset);
    return LockFileEx(reinterpret_cast<HANDLE>(file), flags, 0, LOCK_LENGTH, 0, &at) != 0;
}

void unlock_byte(host_file file, std::uint64_t offset)
{
    OVERLAPPED at = at_byte(offset);
    (void)UnlockFileEx(reinterpret_cast<HANDLE>(file), 0, LOCK_LENGTH, 0, &at);
}

// A file system without locks cannot hold other runs off: go on unlocked.
// Some redirectors refuse a lock so far past the data as an invalid one.
turn unheld_or_failed(DWORD error)
{
    bool unheld = error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION ||
                  error == ERROR_INVALID_PARAMETER;
    return unheld ? turn::held : turn::failed;
}

DWORD lock_flags(const turn_request& request)
{
    return request.exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0;
}

} // namespace

OVERLAPPED at_byte(std::uint64_t offset)
{
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return at;
}

bool take_lock_within(SRWLOCK& lock, DWORD ms)
{
    if (ms == INFINITE) {
        AcquireSRWLockExclusive(&lock);
        return true;
    }
    for (DWORD waited = 0;; waited += LOCK_POLL_MS) {
        if (TryAcquireSRWLockExclusive(&lock) != 0)
            return true;
        if (waited >= ms)
            return false;
        Sleep(LOCK_POLL_MS);
    }
}

turn try_turn(const turn_request& request)
{
    if (lock_byte(request.file, TURN_BYTE, lock_flags(request) | LOCKFILE_FAIL_IMMEDIATELY))
        return turn::held;
    DWORD error = GetLastError();
    return error == ERROR_LOCK_VIOLATION ? turn::busy : unheld_or_failed(error);
}

turn wait_for_turn(const turn_request& request)
{
    if (lock_byte(request.file, TURN_BYTE, lock_flags(request)))
        return turn::held;
    return unheld_or_failed(GetLastError());
}

void end_turn(const turn_request& request)
{
    unlock_byte(request.file, TURN_BYTE);
}

// Only a reading open of DEST, after a look, is asked, and Windows never looks.
bool turn_taken(host_file)
{
    return false;
}

// No loop devices or overlays here: nothing lies under a file but its volume.
files_under open_files_under(host_file, bool)
{
    return {};
}

bool same_file(host_file a, host_file b)
{
    std::uint64_t own = OWN_BYTES + GetCurrentProcessId();
    DWORD now = LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY;
    if (!lock_byte(a, own, now))
        return false;
    bool locked = lock_byte(b, own, now);
    bool same = !locked && GetLastError() == ERROR_LOCK_VIOLATION;
    if (locked)
        unlock_byte(b, own);
    unlock_byte(a, own);
    return same;
}

// Opened again without write sharing, which fails while another program writes it;
// the input's turn is taken on the new handle before it replaces the stream's own.
bool keep_writers_off(std::FILE* input, int& error)
{
    HANDLE kept = ReOpenFile(handle_of(input), GENERIC_READ, FILE_SHARE_READ, 0);
    auto file = reinterpret_cast<host_file>(kept);
    int fd = kept == INVALID_HANDLE_VALUE ? -1 : _open_osfhandle(file, _O_RDONLY | _O_BINARY);
    bool held = fd >= 0 && try_turn({file, false}) == turn::held && _dup2(fd, _fileno(input)) == 0;
    DWORD why = held ? NO_ERROR : GetLastError();
    // Shut out by a share mode: another program has it open for writing.
    error = why == ERROR_SHARING_VIOLATION ? REASON_HELD_FOR_WRITING : static_cast<int>(why);
    if (fd >= 0)
        _close(fd);
    else if (kept != INVALID_HANDLE_VALUE)
        CloseHandle(kept);
    return held;
}
