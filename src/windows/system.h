// SPDX-License-Identifier: MIT
// What the Windows host files share among themselves.
#ifndef TALVOR_WINDOWS_SYSTEM_H
#define TALVOR_WINDOWS_SYSTEM_H

#include <io.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "host.h"

inline HANDLE handle_of(std::FILE* stream)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

// What path is, looked at without access to its bytes; unmeasured if it could not be.
file_facts measure_path(const std::wstring& path);

// Whether a handle is a whole disk or a volume, not a file on one.
bool is_disk_or_volume(HANDLE handle);

// Why DEST must not be opened for writing, seen by a look: a folder, a disk or a volume.
int refused_before_open(const std::wstring& path);

// Cuts or extends the file to length bytes, without moving its position.
bool set_end_of_file(HANDLE file, std::int64_t length);

// An input that another program writes: a sharing violation as keep_writers_off reopens it.
constexpr int REASON_HELD_FOR_WRITING = -102;

// A stop's guard, under which every change to DEST is made: once a stop has begun,
// the main thread waits there for the process to end.
void enter_guard();
void leave_guard();

// Where an overlapped call reads or locks: at offset.
OVERLAPPED at_byte(std::uint64_t offset);

// Takes the lock within ms milliseconds, or for as long as it takes with
// INFINITE; false when it could not be had in time.
bool take_lock_within(SRWLOCK& lock, DWORD ms);

// Erases the line as close_terminal_line() does, unless a draw under way
// keeps it for longer than ms: the line is then left as it is.
void close_line_within(DWORD ms);

// A name in the tool's UTF-8, as Windows spells it: empty when it is not
// valid, which no file's name is.
std::wstring widened(const char* text);

// Writes text in the tool's UTF-8 on a console as UTF-16, whatever its code
// page: lone surrogates kept, and U+FFFD for bytes that are not WTF-8.
void write_console(HANDLE console, const std::string& text);

#endif
