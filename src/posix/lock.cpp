// SPDX-License-Identifier: MIT
// Turns between runs of the tool: a lock on one byte far past any data that
// a file can hold. Other programs' flock never meets it, and their reads and
// writes never touch it; open-file-description locks, where the system has
// them, stay with the descriptor, whatever else the process opens or closes.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "progress.h"
#include "system.h"

namespace {

constexpr off_t TURN_OFFSET = INT64_MAX - 1;
constexpr off_t TURN_LENGTH = 1;
// The inputs and DEST.
constexpr std::size_t MOST_TURNS = 4;

#if defined(F_OFD_SETLK)
constexpr int SET_LOCK = F_OFD_SETLK;
constexpr int WAIT_LOCK = F_OFD_SETLKW;
constexpr int GET_LOCK = F_OFD_GETLK;
#else
constexpr int SET_LOCK = F_SETLK;
constexpr int WAIT_LOCK = F_SETLKW;
constexpr int GET_LOCK = F_GETLK;
#endif

struct flock turn_lock(short type)
{
    struct flock lock = {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = TURN_OFFSET;
    lock.l_len = TURN_LENGTH;
    return lock;
}

short lock_type(bool exclusive)
{
    return static_cast<short>(exclusive ? F_WRLCK : F_RDLCK);
}

// A file system that keeps no locks (some NFS and FUSE mounts) cannot hold
// other runs off: the run goes on unheld, as cp would.
turn unheld_or_failed(int error)
{
    bool unheld = error == ENOLCK || error == EOPNOTSUPP || error == ENOSYS || error == EINVAL;
    return unheld ? turn::held : turn::failed;
}

// Waits for the turn; on a terminal it keeps trying, so that the line can
// say that it waits.
turn wait_turn(const turn_request& request, progress_line& line)
{
    struct flock lock = turn_lock(lock_type(request.exclusive));
    while (line.on_terminal) {
        turn t = try_turn(request.fd, request.exclusive);
        if (t != turn::busy)
            return t;
        count_waiting(line);
        usleep(LOCK_RETRY_US);
    }
    int done;
    while ((done = fcntl(request.fd, WAIT_LOCK, &lock)) != 0 && errno == EINTR) {
    }
    return done == 0 ? turn::held : unheld_or_failed(errno);
}

} // namespace

turn try_turn(int fd, bool exclusive)
{
    struct flock lock = turn_lock(lock_type(exclusive));
    if (fcntl(fd, SET_LOCK, &lock) == 0)
        return turn::held;
    return errno == EAGAIN || errno == EACCES ? turn::busy : unheld_or_failed(errno);
}

void end_turn(int fd)
{
    struct flock lock = turn_lock(F_UNLCK);
    (void)fcntl(fd, SET_LOCK, &lock);
}

bool turn_taken(int fd)
{
    struct flock lock = turn_lock(F_WRLCK);
    return fcntl(fd, GET_LOCK, &lock) == 0 && lock.l_type != F_UNLCK;
}

turn take_turns(const turn_request* requests, std::size_t count, progress_line& line)
{
    for (;;) {
        std::size_t taken = 0;
        turn t = turn::held;
        while (taken < count && (t = try_turn(requests[taken].fd, requests[taken].exclusive)) ==
                                    turn::held)
            ++taken;
        if (taken == count)
            return turn::held;
        for (std::size_t k = 0; k < taken; ++k)
            end_turn(requests[k].fd);
        if (t == turn::failed)
            return t;
        // Holding nothing else, so that no two runs ever wait on each other.
        t = wait_turn(requests[taken], line);
        if (t != turn::held)
            return t;
        end_turn(requests[taken].fd);
    }
}

bool take_run_turns(int fd, bool exclusive, const output_request& request, progress_line& line)
{
    turn_request turns[MOST_TURNS];
    std::size_t count = 0;
    for (std::size_t i = 0; i < request.count && count + 1 < MOST_TURNS; ++i)
        if (request.streams[i] != nullptr)
            turns[count++] = {fileno(request.streams[i]), false};
    if (fd >= 0)
        turns[count++] = {fd, exclusive};
    return take_turns(turns, count, line) == turn::held;
}
