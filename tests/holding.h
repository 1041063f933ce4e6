// SPDX-License-Identifier: MIT
// What tests that hold a run up share: a FIFO the test holds at both ends,
// and whether a process (of Wine, too) holds a file open.
#ifndef TALVOR_TESTS_HOLDING_H
#define TALVOR_TESTS_HOLDING_H

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "harness.h"

// A FIFO held open at both ends by the test alone: the tool's open of it never
// waits, its reads wait for bytes that never come, its writes stop once the
// pipe is full.
struct held_fifo {
    int fd;
    explicit held_fifo(const std::string& file)
    {
        fd = mkfifo(file.c_str(), 0600) == 0 ? open(file.c_str(), O_RDWR | O_CLOEXEC) : -1;
    }
    ~held_fifo()
    {
        if (fd >= 0)
            close(fd);
    }
    held_fifo(const held_fifo&) = delete;
    held_fifo& operator=(const held_fifo&) = delete;
    // Bytes written in and not yet read out.
    int waiting() const
    {
        int n = -1;
        return ioctl(fd, FIONREAD, &n) == 0 ? n : -1;
    }
};

// Whether a process whose command line holds word has file open.
inline bool process_holds(const std::string& word, const std::string& file)
{
    bool held = false;
    DIR* proc = opendir("/proc");
    while (dirent* entry = proc != nullptr && !held ? readdir(proc) : nullptr) {
        std::string pid = entry->d_name;
        if (pid.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::string line = read_file("/proc/" + pid + "/cmdline");
        std::replace(line.begin(), line.end(), '\0', ' ');
        if (line.find(word) == std::string::npos)
            continue;
        std::error_code error;
        for (const auto& fd : std::filesystem::directory_iterator("/proc/" + pid + "/fd", error))
            held = held || std::filesystem::read_symlink(fd.path(), error) == file;
    }
    if (proc != nullptr)
        closedir(proc);
    return held;
}

#endif
