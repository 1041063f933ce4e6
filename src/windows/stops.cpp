// SPDX-License-Identifier: MIT
// What a stop (Ctrl-C, Ctrl-Break, a closed console, logging off, shutting down)
// does on Windows, in every phase of the run: erases the line, cuts a guarded DEST
// back with its old date, and ends with STATUS_CONTROL_C_EXIT, which the default
// handling does not promise (Wine's ends with 0). And the dates a failure leaves DEST.
#include <windows.h>

#include <cstdint>

#include "system.h"

namespace {

// A console control handler runs on a thread of its own: every change to DEST is
// made under the lock, which the handler takes and never gives back after its cut.
struct stop_guard {
    SRWLOCK lock;
    HANDLE destination; // null when nothing is to be cut
    std::int64_t kept;
    FILETIME left;          // DEST's date before the run, which the cut puts back
    HANDLE main_thread;     // whose blocked write a stop cancels; null if unknown
    volatile LONG stopping; // once set, the main thread writes and cuts nothing more
};
stop_guard guard = {SRWLOCK_INIT, nullptr, 0, {}, nullptr, 0};

// FILETIME counts 100 ns from 1601, file_time from 1970.
constexpr std::int64_t TICKS_PER_SECOND = 10000000;
constexpr std::int64_t NS_PER_TICK = 100;
constexpr std::int64_t SECONDS_1601_TO_1970 = 11644473600;

FILETIME as_filetime(file_time time)
{
    ULARGE_INTEGER ticks;
    ticks.QuadPart = static_cast<std::uint64_t>(
        (time.seconds + SECONDS_1601_TO_1970) * TICKS_PER_SECOND + time.nanoseconds / NS_PER_TICK);
    return {ticks.LowPart, ticks.HighPart};
}

// How long a stop lets a write end before cancelling it, a cancelled write give the
// lock back, and the line's thread end a draw (a console's selection holds its
// writers): a network file may hold a write for minutes, which no stop waits for.
constexpr DWORD WRITE_GRACE_MS = 1000;
constexpr DWORD CANCEL_GRACE_MS = 1000;
constexpr DWORD LINE_GRACE_MS = 1000;

// Under the lock: what was written past kept goes, and DEST gets its old date back.
void cut_destination()
{
    if (guard.destination == nullptr)
        return;
    LARGE_INTEGER size;
    if (GetFileSizeEx(guard.destination, &size) && size.QuadPart > guard.kept)
        set_end_of_file(guard.destination, guard.kept);
    SetFileTime(guard.destination, nullptr, nullptr, &guard.left);
}

// A write that cannot be cancelled leaves DEST uncut, but its head, laid last, still
// reads as zeros: it does not look finished. The line goes if its thread lets go in
// time. A second event (Ctrl-Break after Ctrl-C) waits for the first to end the process.
BOOL WINAPI on_console_stop(DWORD)
{
    if (InterlockedExchange(&guard.stopping, 1) != 0)
        Sleep(INFINITE);
    bool held = take_lock_within(guard.lock, WRITE_GRACE_MS);
    if (!held && guard.main_thread != nullptr) {
        CancelSynchronousIo(guard.main_thread);
        held = take_lock_within(guard.lock, CANCEL_GRACE_MS);
    }
    if (held)
        cut_destination();
    close_line_within(LINE_GRACE_MS);
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    return TRUE;
}

} // namespace

bool set_end_of_file(HANDLE file, std::int64_t length)
{
    FILE_END_OF_FILE_INFO end;
    end.EndOfFile.QuadPart = length;
    return SetFileInformationByHandle(file, FileEndOfFileInfo, &end, sizeof end) != 0;
}

// Once a stop has begun the main thread waits here for the handler to end the
// process, so that a write the stop cancelled is never reported as a failed run.
void enter_guard()
{
    AcquireSRWLockExclusive(&guard.lock);
    if (stop_heard()) {
        ReleaseSRWLockExclusive(&guard.lock);
        Sleep(INFINITE);
    }
}

void leave_guard()
{
    bool stopping = stop_heard();
    ReleaseSRWLockExclusive(&guard.lock);
    if (stopping)
        Sleep(INFINITE);
}

void watch_stops()
{
    HANDLE self = nullptr;
    // Without this handle a blocked write cannot be cancelled: a stop then ends uncut.
    if (DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, 0,
                        FALSE, DUPLICATE_SAME_ACCESS))
        guard.main_thread = self;
    SetConsoleCtrlHandler(on_console_stop, TRUE);
}

void guard_dest_on_stop(std::FILE* destination, file_kind kind, file_time left)
{
    enter_guard();
    // A pipe or a device may block a write for good and has nothing to cut: a stop just ends.
    bool cut = destination != nullptr && kind == file_kind::regular;
    guard.destination = cut ? handle_of(destination) : nullptr;
    guard.left = as_filetime(left);
    leave_guard();
}

void stop_cuts_dest_to(std::int64_t length)
{
    enter_guard();
    guard.kept = length;
    leave_guard();
}

// The handler erases the line as it starts: nothing is left to tell.
bool stop_heard()
{
    return InterlockedCompareExchange(&guard.stopping, 0, 0) != 0;
}

file_time written_at(host_file file)
{
    FILETIME t;
    if (file == NO_FILE || !GetFileTime(reinterpret_cast<HANDLE>(file), nullptr, nullptr, &t))
        return OLDEST_TIME;
    auto ticks = static_cast<std::int64_t>((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) |
                                           t.dwLowDateTime);
    return {ticks / TICKS_PER_SECOND - SECONDS_1601_TO_1970,
            ticks % TICKS_PER_SECOND * NS_PER_TICK};
}

bool date_file(host_file file, file_time time)
{
    if (file == NO_FILE)
        return false;
    FILETIME t = as_filetime(time);
    enter_guard();
    bool dated = SetFileTime(reinterpret_cast<HANDLE>(file), nullptr, nullptr, &t) != 0;
    leave_guard();
    return dated;
}
