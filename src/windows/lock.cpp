// SPDX-License-Identifier: MIT
// Turns between runs of the tool on Windows: a lock on one byte far past any
// data a file can hold. How a run waits for its turns is the core's
// (opening.cpp), for every host.
#include <windows.h>

#include <cstdint>

#include "system.h"

namespace {

// One byte far past any data a file can hold: runs of the tool wait for each
// other there, while other programs read and write the file's bytes freely.
constexpr DWORD RUN_LOCK_OFFSET_LOW = 0xFFFFFFFE;
constexpr DWORD RUN_LOCK_OFFSET_HIGH = 0xFFFFFFFF;
constexpr DWORD RUN_LOCK_LENGTH = 1;

OVERLAPPED lock_place()
{
    OVERLAPPED at = {};
    at.Offset = RUN_LOCK_OFFSET_LOW;
    at.OffsetHigh = RUN_LOCK_OFFSET_HIGH;
    return at;
}

// A byte of its own for each process, below the turns' one: a lock there
// meets no lock but this process's own.
constexpr std::uint64_t OWN_LOCK_BASE = 0xFFFFFFFE00000000;

OVERLAPPED own_place()
{
    auto at = OWN_LOCK_BASE + GetCurrentProcessId();
    OVERLAPPED place = {};
    place.Offset = static_cast<DWORD>(at);
    place.OffsetHigh = static_cast<DWORD>(at >> 32);
    return place;
}

bool lock_own_byte(HANDLE file)
{
    OVERLAPPED at = own_place();
    DWORD now = LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY;
    return LockFileEx(file, now, 0, RUN_LOCK_LENGTH, 0, &at) != 0;
}

void unlock_own_byte(HANDLE file)
{
    OVERLAPPED at = own_place();
    (void)UnlockFileEx(file, 0, RUN_LOCK_LENGTH, 0, &at);
}

HANDLE handle_to(const turn_request& request)
{
    return reinterpret_cast<HANDLE>(request.file);
}

// A file system without locks cannot hold other runs off: go on unlocked.
turn unheld_or_failed(DWORD error)
{
    bool unheld = error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION;
    return unheld ? turn::held : turn::failed;
}

DWORD lock_flags(const turn_request& request)
{
    return request.exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0;
}

} // namespace

turn try_turn(const turn_request& request)
{
    OVERLAPPED at = lock_place();
    DWORD now = lock_flags(request) | LOCKFILE_FAIL_IMMEDIATELY;
    if (LockFileEx(handle_to(request), now, 0, RUN_LOCK_LENGTH, 0, &at) != 0)
        return turn::held;
    DWORD error = GetLastError();
    return error == ERROR_LOCK_VIOLATION ? turn::busy : unheld_or_failed(error);
}

turn wait_for_turn(const turn_request& request)
{
    OVERLAPPED at = lock_place();
    if (LockFileEx(handle_to(request), lock_flags(request), 0, RUN_LOCK_LENGTH, 0, &at) != 0)
        return turn::held;
    return unheld_or_failed(GetLastError());
}

void end_turn(const turn_request& request)
{
    OVERLAPPED at = lock_place();
    (void)UnlockFileEx(handle_to(request), 0, RUN_LOCK_LENGTH, 0, &at);
}

// Only a reading open of DEST, after a look, is asked, and Windows never looks.
bool turn_taken(host_file)
{
    return false;
}

// Locked through one, this process's own byte cannot be locked through the
// other when both are the same file, whatever their ids say.
bool same_file(host_file a, host_file b)
{
    HANDLE one = reinterpret_cast<HANDLE>(a);
    HANDLE other = reinterpret_cast<HANDLE>(b);
    if (!lock_own_byte(one))
        return false;
    bool locked = lock_own_byte(other);
    bool same = !locked && GetLastError() == ERROR_LOCK_VIOLATION;
    if (locked)
        unlock_own_byte(other);
    unlock_own_byte(one);
    return same;
}
