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
    // A file or a device is read too, so that it can be told apart from the
    // inputs by reading.
    struct stat named;
    bool bytes = stat(path, &named) == 0 && (S_ISREG(named.st_mode) || S_ISBLK(named.st_mode));
    int fd = bytes ? open(path, O_RDWR | O_CLOEXEC) : -1;
    if (fd < 0)
        fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd >= 0 || errno != ENOENT)
        return {fd, fd < 0 ? errno : NO_REASON, false};
    // Absent: made by this open alone.
    fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST)
        return {fd, fd < 0 ? errno : NO_REASON, fd >= 0};
    // A dangling symbolic link, which no exclusive open follows: its target
    // is made through it. Anything else came in between, and is opened.
    struct stat link;
    bool dangling = lstat(path, &link) == 0 && S_ISLNK(link.st_mode);
    fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    return {fd, fd < 0 ? errno : NO_REASON, fd >= 0 && dangling};
}
