// SPDX-License-Identifier: MIT
// The progress line on a POSIX terminal, drawn in place while the process is
// in the foreground. A thread draws it, not a timer signal: formatting is no
// work for a signal handler, and no handler cuts the copy's calls short.
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

#include "host.h"

namespace {

// The columns the line covers, for close_terminal_line (a stop's handler too)
// to blank; -1 once closed. A close waits while drawing is set, so that no
// line follows its blank; seq_cst shows both in one order to every thread.
std::atomic<int> covered{0};
std::atomic<bool> drawing{false};
// How many times SIGCONT came: the process was stopped before each.
std::atomic<unsigned> continued{0};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free &&
                  std::atomic<unsigned>::is_always_lock_free,
              "a signal handler may only use lock-free atomics");

// A terminal that does not tell its width is taken for the classic one.
constexpr int DEFAULT_COLUMNS = 80;
constexpr std::int64_t MS_PER_SECOND = 1000;
constexpr std::int64_t NS_PER_MS = 1000000;
// A close waits this many milliseconds at most for a draw blocked (Ctrl-S).
constexpr int MOST_DRAW_WAITS = 1000;

// A background job that wrote would scribble over the foreground's screen,
// or be stopped by SIGTTOU.
bool in_foreground()
{
    return tcgetpgrp(STDERR_FILENO) == getpgrp();
}

// The line is a courtesy: a write that fails is let go.
void put(const char* bytes, std::size_t count)
{
    ssize_t ignored = write(STDERR_FILENO, bytes, count);
    (void)ignored;
}

extern "C" void on_continue(int)
{
    continued.fetch_add(1);
}

// The line's thread. A tick that comes much later than asked after a
// SIGCONT spent that time stopped: it is left out of the time run.
extern "C" void* keep_time(void* state)
{
    std::unique_ptr<line_ticker> owner(static_cast<line_ticker*>(state));
    std::int64_t start = clock_ms();
    std::int64_t stopped = 0;
    std::int64_t before = start;
    unsigned seen = continued.load();
    while (covered.load() >= 0) {
        sleep_ms(LINE_TICK_MS);
        std::int64_t now = clock_ms();
        unsigned resumed = continued.load();
        if (resumed != seen)
            stopped += std::max(now - before - LINE_TICK_MS, std::int64_t{0});
        seen = resumed;
        before = now;
        owner->tick(owner->context, now - start - stopped);
    }
    return nullptr;
}

} // namespace

bool error_terminal()
{
    return isatty(STDERR_FILENO) == 1;
}

bool start_line_timer(line_ticker ticker)
{
    auto* state = new (std::nothrow) line_ticker{ticker};
    if (state == nullptr)
        return false;
    struct sigaction resumed = {};
    resumed.sa_handler = on_continue;
    resumed.sa_flags = SA_RESTART;
    sigemptyset(&resumed.sa_mask);
    sigaction(SIGCONT, &resumed, nullptr);
    // The thread inherits a mask that blocks every signal but SIGCONT, which the
    // main thread leaves to it: a stop's handler runs on the main thread, and
    // SIGCONT's has run by the time the sleep it cut short returns.
    sigset_t blocked;
    sigset_t old;
    sigfillset(&blocked);
    sigdelset(&blocked, SIGCONT);
    pthread_sigmask(SIG_SETMASK, &blocked, &old);
    pthread_t thread;
    bool started = pthread_create(&thread, nullptr, keep_time, state) == 0;
    if (started) {
        pthread_detach(thread);
        sigaddset(&old, SIGCONT);
    } else {
        delete state;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return started;
}

std::size_t terminal_columns()
{
    struct winsize size = {};
    int columns = ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0
                      ? static_cast<int>(size.ws_col)
                      : DEFAULT_COLUMNS;
    return static_cast<std::size_t>(std::max(columns - 1, 1));
}

void draw_terminal_line(const char* line, std::size_t n)
{
    drawing.store(true);
    int before = covered.load();
    // Covered before the write, so that a stop during it blanks it all; a
    // close since the load has the last word.
    if (before >= 0 && n > 0 && in_foreground() &&
        covered.compare_exchange_strong(before, static_cast<int>(n - 1)))
        put(line, n);
    drawing.store(false);
}

// Async-signal-safe: atomics, nanosleep, tcgetpgrp, getpgrp and write alone.
void close_terminal_line()
{
    int width = covered.exchange(-1);
    for (int i = 0; i < MOST_DRAW_WAITS && drawing.load(); ++i)
        sleep_ms(1);
    if (width <= 0 || !in_foreground())
        return;
    char blank[TERMINAL_LINE_SIZE + 2];
    blank[0] = '\r';
    for (int i = 1; i <= width; ++i)
        blank[i] = ' ';
    blank[width + 1] = '\r';
    put(blank, static_cast<std::size_t>(width) + 2);
}

std::int64_t clock_ms()
{
    struct timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * MS_PER_SECOND +
           static_cast<std::int64_t>(now.tv_nsec) / NS_PER_MS;
}

void sleep_ms(std::int64_t ms)
{
    struct timespec pause = {static_cast<time_t>(ms / MS_PER_SECOND),
                             static_cast<long>(ms % MS_PER_SECOND * NS_PER_MS)};
    nanosleep(&pause, nullptr);
}
