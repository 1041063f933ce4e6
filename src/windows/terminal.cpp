// SPDX-License-Identifier: MIT
// The progress line on a Windows console, written as UTF-16 through
// WriteConsoleW, as the report is.
#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "progress.h"
#include "system.h"

namespace {

// The main thread draws the line and a console stop's own thread closes it:
// one at a time, and nothing is drawn once it is closed.
struct console_line {
    SRWLOCK lock;
    int covered; // columns the line covers; -1 once closed
};
console_line shown = {SRWLOCK_INIT, 0};

// A console that does not tell its width is taken for the classic one.
constexpr int DEFAULT_COLUMNS = 80;

// Null when standard error is no console: a file, a pipe, nothing.
HANDLE error_console()
{
    HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    bool console =
        handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
    return console ? handle : nullptr;
}

// One less than the window's, so that the cursor never wraps.
std::size_t usable_columns(HANDLE console)
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    int columns = GetConsoleScreenBufferInfo(console, &info) != 0
                      ? info.srWindow.Right - info.srWindow.Left + 1
                      : DEFAULT_COLUMNS;
    return static_cast<std::size_t>(std::max(columns - 1, 1));
}

// The line is a courtesy: a write that fails is let go.
void put(HANDLE console, const char* bytes, std::size_t count)
{
    std::wstring wide = console_text(std::string(bytes, count).c_str());
    DWORD done = 0;
    WriteConsoleW(console, wide.data(), static_cast<DWORD>(wide.size()), &done, nullptr);
}

} // namespace

bool progress_terminal()
{
    return error_console() != nullptr;
}

void draw_progress_line(const char* text)
{
    HANDLE console = error_console();
    AcquireSRWLockExclusive(&shown.lock);
    if (console != nullptr && shown.covered >= 0) {
        char line[PROGRESS_LINE_SIZE + 1];
        std::size_t n = fit_line(line, sizeof line, text, usable_columns(console),
                                 static_cast<std::size_t>(shown.covered));
        shown.covered = static_cast<int>(n - 1);
        put(console, line, n);
    }
    ReleaseSRWLockExclusive(&shown.lock);
}

void close_progress_line()
{
    HANDLE console = error_console();
    AcquireSRWLockExclusive(&shown.lock);
    if (console != nullptr && shown.covered > 0) {
        char blank[PROGRESS_LINE_SIZE + 2];
        blank[0] = '\r';
        std::fill(blank + 1, blank + 1 + shown.covered, ' ');
        blank[shown.covered + 1] = '\r';
        put(console, blank, static_cast<std::size_t>(shown.covered) + 2);
    }
    shown.covered = -1;
    ReleaseSRWLockExclusive(&shown.lock);
}

std::int64_t clock_ms()
{
    return static_cast<std::int64_t>(GetTickCount64());
}
