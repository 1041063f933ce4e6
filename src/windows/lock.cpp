// SPDX-License-Identifier: MIT
// Turns between runs of the tool on Windows: a lock on one byte far past any
// data a file can hold. The inputs are held by their share mode instead.
#include <windows.h>

#include "progress.h"
#include "system.h"

namespace {

// One byte far past any data a file can hold: runs of the tool wait for each
// other there, while other programs read and write the file's bytes freely.
constexpr DWORD RUN_LOCK_OFFSET_LOW = 0xFFFFFFFE;
constexpr DWORD RUN_LOCK_OFFSET_HIGH = 0xFFFFFFFF;
constexpr DWORD RUN_LOCK_LENGTH = 1;

} // namespace

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

