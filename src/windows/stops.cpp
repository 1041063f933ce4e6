// SPDX-License-Identifier: MIT
// What a stop (Ctrl-C, Ctrl-Break, a closed console, logging off, shutting
// down) does on Windows: in every phase of the run it erases the progress
// line, cuts a guarded destination back, and ends the process with
// STATUS_CONTROL_C_EXIT, which the host's default handling does not promise
// (Wine's ends with 0).
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
    HANDLE main_thread;     // whose blocked write a stop cancels; null if unknown
    volatile LONG stopping; // once set, the main thread writes and cuts nothing more
};
stop_guard guard = {SRWLOCK_INIT, nullptr, 0, nullptr, 0};

// How long a stop lets a write in progress end before it cancels it, and
// then lets the cancelled write give the lock back: a network file may hold
// a write for minutes, which no stop should wait for.
constexpr DWORD WRITE_GRACE_MS = 1000;
constexpr DWORD CANCEL_GRACE_MS = 1000;
constexpr DWORD LOCK_POLL_MS = 10;

bool take_lock_within(DWORD ms)
{
    for (DWORD waited = 0;; waited += LOCK_POLL_MS) {
        if (TryAcquireSRWLockExclusive(&guard.lock) != 0)
            return true;
        if (waited >= ms)
            return false;
        Sleep(LOCK_POLL_MS);
    }
}

// Under the lock: what was written past kept goes.
void cut_destination()
{
    LARGE_INTEGER size;
    if (guard.destination != nullptr && GetFileSizeEx(guard.destination, &size) &&
        size.QuadPart > guard.kept) {
        FILE_END_OF_FILE_INFO end;
        end.EndOfFile.QuadPart = guard.kept;
        SetFileInformationByHandle(guard.destination, FileEndOfFileInfo, &end, sizeof end);
    }
}

// A write that cannot be cancelled leaves DEST uncut: its head, laid last,
// still reads as zeros, so it does not look finished.
BOOL WINAPI on_console_stop(DWORD)
{
    InterlockedExchange(&guard.stopping, 1);
    close_terminal_line();
    bool held = take_lock_within(WRITE_GRACE_MS);
    if (!held && guard.main_thread != nullptr) {
        CancelSynchronousIo(guard.main_thread);
        held = take_lock_within(CANCEL_GRACE_MS);
    }
    if (held)
        cut_destination();
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    return TRUE;
}

} // namespace

// The main thread's way into the lock: once a stop has begun it waits there
// for the handler to end the process, so that a write the stop cancelled is
// never reported as a failed run.
void enter_guard()
{
    AcquireSRWLockExclusive(&guard.lock);
    if (InterlockedCompareExchange(&guard.stopping, 0, 0) != 0) {
        ReleaseSRWLockExclusive(&guard.lock);
        Sleep(INFINITE);
    }
}

void leave_guard()
{
    bool stopping = InterlockedCompareExchange(&guard.stopping, 0, 0) != 0;
    ReleaseSRWLockExclusive(&guard.lock);
    if (stopping)
        Sleep(INFINITE);
}

void watch_stops()
{
    HANDLE self = nullptr;
    // Without its handle a blocked write cannot be cancelled: the stop then
    // ends the run without the cut.
    if (DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, 0,
                        FALSE, DUPLICATE_SAME_ACCESS))
        guard.main_thread = self;
    SetConsoleCtrlHandler(on_console_stop, TRUE);
}

// A pipe or a device may block a write for good, and has nothing to cut: a
// stop only ends the process there.
void guard_destination(std::FILE* destination, file_kind kind)
{
    if (kind != file_kind::regular && kind != file_kind::block_device)
        return;
    enter_guard();
    guard.destination = handle_of(destination);
    guard.kept = 0;
    leave_guard();
}

void keep_on_stop(std::int64_t kept)
{
    enter_guard();
    guard.kept = kept;
    leave_guard();
}

void release_destination()
{
    enter_guard();
    guard.destination = nullptr;
    leave_guard();
}
