// SPDX-License-Identifier: MIT
// What the Windows host files share among themselves: files.cpp opens and
// measures, identity.cpp tells files apart, lock.cpp holds turns,
// stops.cpp guards DEST, terminal.cpp draws the line, text.cpp speaks UTF-8.
#ifndef TALVOR_WINDOWS_SYSTEM_H
#define TALVOR_WINDOWS_SYSTEM_H

#include <windows.h>

#include <cstdio>
#include <string>

#include "host.h"

HANDLE handle_of(std::FILE* stream);

// Which file a handle is, and whether it is a folder.
struct identity {
    bool known;
    file_id id;
    bool folder;
};

// The identity of a handle, or of one of our own on the same file when the
// handle's access is too narrow to tell it.
identity identity_or_reopened(HANDLE handle);

// What an open handle is: its kind, length and identity.
file_facts measure_handle(HANDLE handle);

// A stop's guard (stops.cpp), which every change to the destination is made
// under: once a stop has begun, the main thread waits there for the process
// to end.
void enter_guard();
void leave_guard();

// A name in the tool's UTF-8, as Windows spells it: empty when it is not
// valid, which no file's name is.
std::wstring widened(const char* text);

// Text in the tool's UTF-8 as a console shows it: lone surrogates kept, and
// U+FFFD for bytes that are not WTF-8.
std::wstring console_text(const char* text);

// Writes a line of the tool's UTF-8 on standard error, as the report is
// written on standard output.
void print_error_line(const std::string& text);

#endif
