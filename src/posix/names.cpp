// SPDX-License-Identifier: MIT
// What the tool can say of a name that was not found: where it was looked
// for, and what is there instead; and DEST made new by its name.
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "system.h"

bool not_found(int error)
{
    return error == ENOENT;
}

bool path_found(const char* path)
{
    struct stat info;
    return stat(path, &info) == 0;
}

std::string working_directory()
{
    char name[PATH_MAX];
    return getcwd(name, sizeof name) != nullptr ? std::string(name) : std::string();
}

std::string name_by_other_case(const char* name)
{
    DIR* here = opendir(".");
    std::string found;
    for (const dirent* entry = here != nullptr ? readdir(here) : nullptr; entry != nullptr;
         entry = readdir(here)) {
        // The first in byte order, so that the hint is the same each time.
        bool twin = strcasecmp(entry->d_name, name) == 0 && std::strcmp(entry->d_name, name) != 0;
        if (twin && (found.empty() || found.compare(entry->d_name) > 0))
            found = entry->d_name;
    }
    if (here != nullptr)
        closedir(here);
    return found;
}

opened open_by_name(const char* path)
{
    for (;;) {
        int fd = open(path, O_WRONLY | O_CLOEXEC);
        if (fd >= 0 || errno != ENOENT)
            return {fd, fd < 0 ? errno : NO_REASON, false};
        if (new_among_devices(path))
            return {NO_FILE, REASON_NO_DEVICE, false};
        // Made by this open alone, or opened again as another program's.
        fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return {fd, fd < 0 ? errno : NO_REASON, fd >= 0};
    }
}
