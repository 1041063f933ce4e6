// SPDX-License-Identifier: MIT
// What a stop (Ctrl-C, kill, a closed terminal) does to the destination on
// POSIX systems.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

#include "host.h"

namespace {

// What a stop's handler works on. A handler can reach nothing but what is
// global; lock-free, so it reads them whole even when it interrupts a store,
// 64-bit offsets on 32-bit hosts included.
std::atomic<int> guarded_descriptor{-1};
std::atomic<std::int64_t> guarded_kept{0};
// Before DEST is known apart from the inputs: its first bytes as they were.
std::atomic<int> restored_descriptor{-1};
std::atomic<const unsigned char*> restored_bytes{nullptr};
std::atomic<std::size_t> restored_count{0};
std::atomic<std::int64_t> restored_length{0};
static_assert(std::atomic<int>::is_always_lock_free &&
                  std::atomic<std::int64_t>::is_always_lock_free &&
                  std::atomic<std::size_t>::is_always_lock_free &&
                  std::atomic<const unsigned char*>::is_always_lock_free,
              "a signal handler may only read lock-free atomics");

constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Async-signal-safe calls only, and nothing printed.
extern "C" void on_stop(int signal_number)
{
    int restored = restored_descriptor.load();
    struct stat now;
    if (restored >= 0) {
        (void)pwrite(restored, restored_bytes.load(), restored_count.load(), 0);
        if (fstat(restored, &now) == 0 && now.st_size > restored_length.load())
            (void)ftruncate(restored, static_cast<off_t>(restored_length.load()));
    }
    int fd = guarded_descriptor.load();
    struct stat info;
    std::int64_t kept = guarded_kept.load();
    // Only a regular file is guarded; one that cannot be measured is cut all the same.
    if (fd >= 0 && (fstat(fd, &info) != 0 || info.st_size > kept))
        (void)ftruncate(fd, static_cast<off_t>(kept));
    close_terminal_line();
    // SA_RESETHAND has restored the default action: the process ends by this
    // signal as soon as the handler returns, as its parent expects.
    raise(signal_number);
}

} // namespace

void watch_stops()
{
    // Past a file size limit, write fails with EFBIG instead of killing us.
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGXFSZ, &ignore, nullptr);
    // A reader that left makes a write fail with EPIPE: a FIFO DEST is then a
    // failed write, and a report nobody reads leaves a finished run at 0.
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

void guard_first_bytes(std::FILE* destination, const unsigned char* bytes, std::size_t count,
                       std::int64_t length)
{
    restored_bytes.store(bytes);
    restored_count.store(count);
    restored_length.store(length);
    restored_descriptor.store(fileno(destination));
}

void guard_destination(std::FILE* destination, file_kind kind)
{
    restored_descriptor.store(-1);
    guarded_kept.store(0);
    // Only a regular file has a length to cut back to.
    if (kind == file_kind::regular)
        guarded_descriptor.store(fileno(destination));
}

void keep_on_stop(std::int64_t kept)
{
    guarded_kept.store(kept);
}

void release_destination()
{
    restored_descriptor.store(-1);
    guarded_descriptor.store(-1);
}
