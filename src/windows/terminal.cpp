// SPDX-License-Identifier: MIT
// The progress line on a Windows console, drawn by a thread of its own so that it
// moves while the copy blocks; the copy only stores its counts for it.
#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>

#include "system.h"

namespace {

// The line's thread draws it and the main thread or a console stop's own
// thread closes it: one at a time, and nothing is drawn once it is closed.
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
    // No console mode for a null or invalid handle either.
    return GetConsoleMode(handle, &mode) != 0 ? handle : nullptr;
}

bool line_open()
{
    AcquireSRWLockShared(&shown.lock);
    bool open = shown.covered >= 0;
    ReleaseSRWLockShared(&shown.lock);
    return open;
}

// A console process cannot be stopped and resumed: the time run is the clock's.
DWORD WINAPI keep_time(void* state)
{
    std::unique_ptr<line_ticker> owner(static_cast<line_ticker*>(state));
    std::int64_t start = clock_ms();
    while (line_open()) {
        Sleep(static_cast<DWORD>(LINE_TICK_MS));
        owner->tick(owner->context, clock_ms() - start);
    }
    return 0;
}

} // namespace

bool error_terminal()
{
    return error_console() != nullptr;
}

bool start_line_timer(line_ticker ticker)
{
    auto* state = new (std::nothrow) line_ticker{ticker};
    HANDLE thread = state == nullptr ? nullptr : CreateThread(nullptr, 0, keep_time, state, 0, nullptr);
    if (thread == nullptr) {
        delete state;
        return false;
    }
    CloseHandle(thread);
    return true;
}

std::size_t terminal_columns()
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    int columns = DEFAULT_COLUMNS;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info) != 0)
        columns = info.srWindow.Right - info.srWindow.Left + 1;
    return static_cast<std::size_t>(std::max(columns - 1, 1));
}

void draw_terminal_line(const char* line, std::size_t n)
{
    HANDLE console = error_console();
    AcquireSRWLockExclusive(&shown.lock);
    if (console != nullptr && shown.covered >= 0 && n > 0) {
        shown.covered = static_cast<int>(n - 1);
        write_console(console, std::string(line, n));
    }
    ReleaseSRWLockExclusive(&shown.lock);
}

void close_terminal_line()
{
    close_line_within(INFINITE);
}

void close_line_within(DWORD ms)
{
    HANDLE console = error_console();
    if (!take_lock_within(shown.lock, ms))
        return;
    if (console != nullptr && shown.covered > 0) {
        std::string blank(static_cast<std::size_t>(shown.covered), ' ');
        write_console(console, '\r' + blank + '\r');
    }
    shown.covered = -1;
    ReleaseSRWLockExclusive(&shown.lock);
}

std::int64_t clock_ms()
{
    return static_cast<std::int64_t>(GetTickCount64());
}

void sleep_ms(std::int64_t ms)
{
    Sleep(static_cast<DWORD>(ms));
}
