// SPDX-License-Identifier: MIT
// Starts a Windows program with arguments that no Unix command line can
// carry: each \uXXXX in them becomes that one UTF-16 unit, lone surrogates
// included. Run as `launch.exe LOADER PROGRAM ARGUMENT...`, LOADER being the
// Unix program that starts the tool under test, which Windows has no use
// for. The program sees itself named "talvor", and shares the launcher's
// standard handles; the launcher ends with its exit status. With
// LAUNCH_HOLD=HOW:FILE in its environment, the launcher holds FILE open while
// the program runs, as another program would: "write" for writing, letting
// readers and writers in, as an editor does; "alone" for reading, letting no
// one in.
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

enum { HOLD_SIZE = 4096 };

// The file that LAUNCH_HOLD names, held as it says; false if it could not be.
static int hold_file(HANDLE* held)
{
    static wchar_t hold[HOLD_SIZE];
    DWORD n = GetEnvironmentVariableW(L"LAUNCH_HOLD", hold, HOLD_SIZE);
    *held = INVALID_HANDLE_VALUE;
    if (n == 0)
        return 1;
    int write = wcsncmp(hold, L"write:", wcslen(L"write:")) == 0;
    wchar_t* file = wcschr(hold, L':');
    if (n >= HOLD_SIZE || file == NULL)
        return 0;
    DWORD access = write ? GENERIC_WRITE : GENERIC_READ;
    DWORD share = write ? FILE_SHARE_READ | FILE_SHARE_WRITE : 0;
    *held = CreateFileW(file + 1, access, share, NULL, OPEN_EXISTING, 0, NULL);
    return *held != INVALID_HANDLE_VALUE;
}

int wmain(int argc, wchar_t* argv[])
{
    HANDLE held;
    if (argc < 3 || !hold_file(&held))
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
