// SPDX-License-Identifier: MIT
// What a stop (Ctrl-C, kill, a closed terminal) does to the destination on
// POSIX systems, and the dates that a failure or a stop leaves it.
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

#include "host.h"

namespace {

// What a stop's handler works on: global, as a handler reaches nothing else;
// lock-free, so that it reads them whole even when it interrupts a store.
std::atomic<int> guarded_descriptor{-1};
std::atomic<std::int64_t> guarded_kept{0};
std::atomic<std::int64_t> guarded_seconds{0};
std::atomic<std::int64_t> guarded_nanoseconds{0};
// A device's bytes on their way, which the stop waits for with the line up.
std::atomic<int> pushed_descriptor{-1};
// Set as a stop's handler starts, for the line to tell.
std::atomic<bool> stopping{false};
static_assert(std::atomic<int>::is_always_lock_free &&
                  std::atomic<std::int64_t>::is_always_lock_free &&
                  std::atomic<bool>::is_always_lock_free,
              "a signal handler may only read lock-free atomics");

constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Sets the time of fd's last write alone; async-signal-safe, as futimens is.
bool date_descriptor(int fd, std::int64_t seconds, std::int64_t nanoseconds)
{
    struct timespec times[2] = {};
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(seconds);
    times[1].tv_nsec = static_cast<long>(nanoseconds);
    return futimens(fd, times) == 0;
}

// Async-signal-safe calls only, and nothing printed.
extern "C" void on_stop(int signal_number)
{
    stopping.store(true);
    int fd = guarded_descriptor.load();
    struct stat info;
    std::int64_t kept = guarded_kept.load();
    // Only a regular file is guarded; one that cannot be measured is cut all the same.
    if (fd >= 0 && (fstat(fd, &info) != 0 || info.st_size > kept))
        (void)ftruncate(fd, static_cast<off_t>(kept));
    // Older than its inputs again, so that make and ninja build it anew.
    if (fd >= 0)
        (void)date_descriptor(fd, guarded_seconds.load(), guarded_nanoseconds.load());
    // The process cannot end before its bytes are on the device: waited for
    // here, while the line still says so, not on the last close after it.
    int device = pushed_descriptor.load();
    if (device >= 0)
        (void)fsync(device);
    close_terminal_line();
    // SA_RESETHAND restored the default action: the process ends by this
    // signal as the handler returns, as its parent expects.
    raise(signal_number);
}

} // namespace

void watch_stops()
{
    // Past a file size limit a write fails with EFBIG instead of killing us;
    // after a reader left, with EPIPE: a FIFO DEST is then a failed write, and
    // a report nobody reads leaves a finished run at 0.
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGXFSZ, &ignore, nullptr);
    sigaction(SIGPIPE, &ignore, nullptr);
    struct sigaction stop = {};
    stop.sa_handler = on_stop;
    stop.sa_flags = SA_RESETHAND;
    sigemptyset(&stop.sa_mask);
    for (int s : STOP_SIGNALS)
        sigaddset(&stop.sa_mask, s);
    for (int s : STOP_SIGNALS) {
        struct sigaction old;
        // nohup and background jobs ignore some stops on purpose.
        if (sigaction(s, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
            sigaction(s, &stop, nullptr);
    }
}

void guard_dest_on_stop(std::FILE* destination, file_kind kind, file_time left)
{
    // Unguarded meanwhile, so that a stop never meets half of the guard.
    guarded_descriptor.store(-1);
    pushed_descriptor.store(-1);
    guarded_seconds.store(left.seconds);
    guarded_nanoseconds.store(left.nanoseconds);
    if (destination == nullptr)
        return;
    // Only a regular file has a length to cut back to.
    if (kind == file_kind::regular)
        guarded_descriptor.store(fileno(destination));
    if (kind == file_kind::block_device)
        pushed_descriptor.store(fileno(destination));
}

void stop_cuts_dest_to(std::int64_t length)
{
    guarded_kept.store(length);
}

bool stop_heard()
{
    // A stop that the main thread cannot take yet is pending for the process,
    // where the line's thread, which blocks it, sees it.
    sigset_t pending;
    bool heard = stopping.load();
    if (!heard && sigpending(&pending) == 0)
        for (int s : STOP_SIGNALS)
            heard = heard || sigismember(&pending, s) == 1;
    return heard;
}

file_time written_at(host_file file)
{
    struct stat info;
    if (file == NO_FILE || fstat(static_cast<int>(file), &info) != 0)
        return OLDEST_TIME;
    return {static_cast<std::int64_t>(info.st_mtim.tv_sec),
            static_cast<std::int64_t>(info.st_mtim.tv_nsec)};
}

bool date_file(host_file file, file_time time)
{
    return file != NO_FILE && date_descriptor(static_cast<int>(file), time.seconds, time.nanoseconds);
}
