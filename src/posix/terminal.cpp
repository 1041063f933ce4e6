// SPDX-License-Identifier: MIT
// The progress line on a POSIX terminal, drawn in place with a carriage
// return while the process is in the terminal's foreground.
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "host.h"
#include "progress.h"

namespace {

// The columns the line covers, for close_progress_line to blank, which a
// stop's handler calls too; -1 once closed.
std::atomic<int> covered{0};
static_assert(std::atomic<int>::is_always_lock_free,
              "a signal handler may only read lock-free atomics");

// A terminal that does not tell its width is taken for the classic one.
constexpr int DEFAULT_COLUMNS = 80;
constexpr std::int64_t MS_PER_SECOND = 1000;
constexpr std::int64_t NS_PER_MS = 1000000;

// A background job that wrote would scribble over the foreground's screen,
// or be stopped by SIGTTOU.
bool in_foreground()
{
    pid_t front = tcgetpgrp(STDERR_FILENO);
    return front >= 0 && front == getpgrp();
}

// One less than the terminal's, so that the cursor never wraps to a row
// that a carriage return cannot reach back from.
std::size_t usable_columns()
{
    struct winsize size = {};
    int columns = ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0
                      ? static_cast<int>(size.ws_col)
                      : DEFAULT_COLUMNS;
    return static_cast<std::size_t>(std::max(columns - 1, 1));
}

// The line is a courtesy: a write that fails is let go.
void put(const char* bytes, std::size_t count)
{
    ssize_t ignored = write(STDERR_FILENO, bytes, count);
    (void)ignored;
}

} // namespace

bool progress_terminal()
{
    return isatty(STDERR_FILENO) == 1;
}

void draw_progress_line(const char* text)
{
    int before = covered.load();
    if (before < 0 || !in_foreground())
        return;
    char line[PROGRESS_LINE_SIZE + 1];
    std::size_t n =
        fit_line(line, sizeof line, text, usable_columns(), static_cast<std::size_t>(before));
    // Known before the write, so that a stop in the middle of it blanks it all.
    covered.store(static_cast<int>(n - 1));
    put(line, n);
}

// Async-signal-safe: atomics, tcgetpgrp, getpgrp and write alone.
void close_progress_line()
{
    int width = covered.exchange(-1);
    if (width <= 0 || !in_foreground())
        return;
    char blank[PROGRESS_LINE_SIZE + 2];
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
