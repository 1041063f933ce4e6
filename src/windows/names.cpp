// SPDX-License-Identifier: MIT
// What the tool can say of a name that was not found: where it was looked for, what is there.
#include <windows.h>

#include <string>

#include "system.h"

bool not_found(int error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool path_found(const char* path)
{
    std::wstring wide = widened(path);
    return !wide.empty() && GetFileAttributesW(wide.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string working_directory()
{
    DWORD size = GetCurrentDirectoryW(0, nullptr);
    std::wstring name(size, L'\0');
    if (size == 0 || GetCurrentDirectoryW(size, &name[0]) + 1 != size)
        return std::string();
    return utf8_argument(name.c_str());
}

// Names here differ by more than case, or an open by one finds the other.
std::string name_by_other_case(const char*)
{
    return std::string();
}
