// SPDX-License-Identifier: MIT
// What the Windows host files share among themselves.
#ifndef TALVOR_WINDOWS_SYSTEM_H
#define TALVOR_WINDOWS_SYSTEM_H

#include <windows.h>

#include <cstdio>
#include <string>

#include "host.h"

HANDLE handle_of(std::FILE* stream);

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
