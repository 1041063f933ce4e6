// SPDX-License-Identifier: MIT
// Turns between runs of the tool on Windows: a lock on one byte far past any
// data a file can hold. How a run waits for its turns is the core's
// (opening.cpp), for every host.
#include <windows.h>

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
