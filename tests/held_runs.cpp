// SPDX-License-Identifier: MIT
#include "held_runs.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace {

constexpr int POLL_MS = 5;
constexpr int US_PER_MS = 1000;
// Where runs of the tool take their turns: one byte far past any data.
constexpr off_t TURN_BYTE = INT64_MAX - 1;

bool same_file(const std::string& a, const std::string& b)
{
    struct stat one;
    struct stat other;
    return stat(a.c_str(), &one) == 0 && stat(b.c_str(), &other) == 0 &&
           one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

} // namespace

bool wait_until(const std::function<bool()>& done, int limit_ms)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        usleep(POLL_MS * US_PER_MS);
    }
    return true;
}

void start(background& b, const std::string& dir, const std::vector<std::string>& args,
           run_options options)
{
    b.thread = std::thread([&b, dir, args, options]() mutable {
        options.started = [&b](int pid) { b.pid = pid; };
        b.result = run_tool(dir, args, options);
        b.ended = true;
    });
}

void finish(background& b)
{
    if (!wait_until([&b] { return b.ended.load(); })) {
        ADD_FAILURE() << "run " << b.pid << " still running after " << WAIT_LIMIT_MS << " ms";
        kill(b.pid, SIGKILL);
    }
    if (b.thread.joinable())
        b.thread.join();
}

bool feed(int fifo, const std::string& data)
{
    std::size_t done = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(WAIT_LIMIT_MS);
    while (done < data.size() && std::chrono::steady_clock::now() < deadline) {
        pollfd p = {fifo, POLLOUT, 0};
        if (poll(&p, 1, POLL_MS) <= 0)
            continue;
        ssize_t n = write(fifo, data.data() + done, data.size() - done);
        done += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    EXPECT_EQ(done, data.size()) << "the held run stopped reading its piped SOURCE";
    return done == data.size();
}

int first_child(int pid)
{
    std::string children =
        read_file("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    return std::atoi(children.c_str());
}

bool blocked_reading(int pid, const std::string& file)
{
    // "NUMBER ARG1 ARG2 ...": the call it sits in, its first argument the descriptor.
    std::istringstream call(read_file("/proc/" + std::to_string(pid) + "/syscall"));
    long number = -1;
    std::string fd;
    call >> number >> fd;
    if (number != SYS_read || fd.empty())
        return false;
    long descriptor = std::strtol(fd.c_str(), nullptr, 16);
    return same_file("/proc/" + std::to_string(pid) + "/fd/" + std::to_string(descriptor), file);
}

int waiting_for_turn(const std::string& file)
{
    struct stat info;
    if (stat(file.c_str(), &info) != 0)
        return 0;
    char id[64];
    std::snprintf(id, sizeof id, " %02x:%02x:%ju ", major(info.st_dev), minor(info.st_dev),
                  static_cast<std::uintmax_t>(info.st_ino));
    // A blocked request is listed under the lock it waits for, after "->".
    std::istringstream locks(read_file("/proc/locks"));
    int waiting = 0;
    for (std::string line; std::getline(locks, line);)
        waiting += line.find(" -> ") != std::string::npos && line.find(id) != std::string::npos;
    return waiting;
}

int take_turn(const std::string& file, bool exclusive)
{
    int fd = open(file.c_str(), (exclusive ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    struct flock lock = {};
    lock.l_type = static_cast<short>(exclusive ? F_WRLCK : F_RDLCK);
    lock.l_whence = SEEK_SET;
    lock.l_start = TURN_BYTE;
    lock.l_len = 1;
    if (fd >= 0 && fcntl(fd, F_OFD_SETLK, &lock) == 0)
        return fd;
    if (fd >= 0)
        close(fd);
    return -1;
}
