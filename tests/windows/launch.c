// SPDX-License-Identifier: MIT
// Starts a Windows program with arguments that no Unix command line can
// carry: each \uXXXX in them becomes that one UTF-16 unit, lone surrogates
// included. Run as `launch.exe LOADER PROGRAM ARGUMENT...`, LOADER being the
// Unix program that starts the tool under test, which Windows has no use
// for. The program sees itself named "talvor", and shares the launcher's
// standard handles; the launcher ends with its exit status.
#include <windows.h>

#include <stdlib.h>
#include <wchar.h>

enum { ESCAPE_LENGTH = 6, HEX_DIGITS = 4, HEX = 16, NOT_STARTED = 126 };

// Copies from into to with its escapes undone; returns the units written.
static size_t unescape(const wchar_t* from, wchar_t* to)
{
    size_t n = 0;
    while (*from != L'\0') {
        if (from[0] == L'\\' && from[1] == L'u' && wcsnlen(from, ESCAPE_LENGTH) == ESCAPE_LENGTH) {
            wchar_t hex[HEX_DIGITS + 1] = {from[2], from[3], from[4], from[5], L'\0'};
            to[n++] = (wchar_t)wcstoul(hex, NULL, HEX);
            from += ESCAPE_LENGTH;
        } else {
            to[n++] = *from++;
        }
    }
    return n;
}

int wmain(int argc, wchar_t* argv[])
{
    if (argc < 3)
        return NOT_STARTED;
    size_t size = wcslen(L"talvor") + 1;
    for (int i = 3; i < argc; ++i)
        size += wcslen(argv[i]) + 3;
    wchar_t* line = calloc(size, sizeof *line);
    if (line == NULL)
        return NOT_STARTED;
    wcscpy(line, L"talvor");
    size_t n = wcslen(line);
    for (int i = 3; i < argc; ++i) {
        line[n++] = L' ';
        line[n++] = L'"';
        n += unescape(argv[i], line + n);
        line[n++] = L'"';
    }
    STARTUPINFOW start = {0};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    start.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    start.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION child;
    if (!CreateProcessW(argv[2], line, NULL, NULL, TRUE, 0, NULL, NULL, &start, &child))
        return NOT_STARTED;
    WaitForSingleObject(child.hProcess, INFINITE);
    DWORD status = NOT_STARTED;
    GetExitCodeProcess(child.hProcess, &status);
    return (int)status;
}
