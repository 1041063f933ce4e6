// SPDX-License-Identifier: MIT
// Turns between runs of the tool: a lock on one byte far past any data, which
// other programs' flock, reads and writes never meet; open-file-description
// locks, where the system has them, stay with the descriptor whatever else the
// process opens or closes. How a run waits for its turns is the core's.
#include <fcntl.h>

#include <cerrno>
#include <cstdint>

#include "system.h"

namespace {

constexpr off_t TURN_OFFSET = INT64_MAX - 1;
constexpr off_t TURN_LENGTH = 1;

#if defined(F_OFD_SETLK)
constexpr int SET_LOCK = F_OFD_SETLK;
constexpr int WAIT_LOCK = F_OFD_SETLKW;
constexpr int GET_LOCK = F_OFD_GETLK;
#else
constexpr int SET_LOCK = F_SETLK;
constexpr int WAIT_LOCK = F_SETLKW;
constexpr int GET_LOCK = F_GETLK;
#endif

struct flock turn_lock(int type)
{
    struct flock lock = {};
    lock.l_type = static_cast<short>(type);
    lock.l_whence = SEEK_SET;
    lock.l_start = TURN_OFFSET;
    lock.l_len = TURN_LENGTH;
    return lock;
}

// A file system that keeps no locks (some NFS and FUSE mounts) cannot hold
// other runs off: the run goes on unheld, as cp would.
turn unheld_or_failed(int error)
{
    bool unheld = error == ENOLCK || error == EOPNOTSUPP || error == ENOSYS || error == EINVAL;
    return unheld ? turn::held : turn::failed;
}

// Asks for the request's turn, shared or alone, by command (take, or wait).
int lock_turn(const turn_request& request, int command)
{
    struct flock lock = turn_lock(request.exclusive ? F_WRLCK : F_RDLCK);
    return fcntl(static_cast<int>(request.file), command, &lock);
}

} // namespace

turn try_turn(const turn_request& request)
{
    if (lock_turn(request, SET_LOCK) == 0)
        return turn::held;
    return errno == EAGAIN || errno == EACCES ? turn::busy : unheld_or_failed(errno);
}

turn wait_for_turn(const turn_request& request)
{
    int done;
    while ((done = lock_turn(request, WAIT_LOCK)) != 0 && errno == EINTR) {
    }
    return done == 0 ? turn::held : unheld_or_failed(errno);
}

void end_turn(const turn_request& request)
{
    struct flock lock = turn_lock(F_UNLCK);
    (void)fcntl(static_cast<int>(request.file), SET_LOCK, &lock);
}

bool turn_taken(host_file file)
{
    struct flock lock = turn_lock(F_WRLCK);
    return fcntl(static_cast<int>(file), GET_LOCK, &lock) == 0 && lock.l_type != F_UNLCK;
}

// No share modes here: other programs are not held off.
bool keep_writers_off(std::FILE*, int&)
{
    return true;
}
