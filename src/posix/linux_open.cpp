// SPDX-License-Identifier: MIT
// How DEST is opened on Linux: looked at before it is opened for writing,
// emptied on overlayfs rather than copied up, and claimed when it is a
// device, once it is this run's turn.
#include <fcntl.h>
#include <libgen.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host.h"
#include "linux_walk.h"

namespace {

// The descriptor, keeping in early why there is none.
int reopen_for(early_open& early, int probe, int flags)
{
    opened_fd r = open_again(probe, flags);
    if (r.fd < 0)
        early.error = r.error;
    return r.fd;
}

// How the destination is to be opened for writing.
enum class reopen { in_place, emptied, unmeasured };

// An overlayfs file only in a lower layer is copied up to be written, with
// its old bytes unless that same open empties it; they are not wanted, so it
// is emptied, once it is known to share nothing with the inputs. One already
// in the upper layer, or not known to be only below, is rewritten in place.
reopen how_to_reopen(int probe, const struct stat& info, const file_facts& named,
                     const output_request& request)
{
    struct statfs where;
    if (!S_ISREG(info.st_mode))
        return reopen::in_place;
    if (fstatfs(probe, &where) != 0)
        return reopen::unmeasured;
    bool lower_only = where.f_type == OVERLAYFS_SUPER_MAGIC &&
                      surely_apart(named, request.inputs, request.count) &&
                      in_upper_layer(probe) == upper_layer::no;
    return lower_only ? reopen::emptied : reopen::in_place;
}

void end_input_turns(const output_request& request)
{
    for (std::size_t i = 0; i < request.count; ++i)
        if (request.streams[i] != nullptr)
            end_turn({fileno(request.streams[i]), false});
}

// Empties the file that probe holds at its open, which copies nothing up,
// while this run holds the inputs and a read-only open of it that no other
// run reads or writes; then takes its turn to write it. Another run's turn
// taken in between sends the open round again, the file now in its upper
// layer.
early_open reopen_emptied(int probe, early_open early, const output_request& request)
{
    int holder = reopen_for(early, probe, O_RDONLY | O_NONBLOCK);
    if (holder < 0) {
        early.fd = reopen_for(early, probe, O_WRONLY);
        return early;
    }
    early.verdict = open_verdict::unmeasured;
    if (!take_run_turns(holder, false, request)) {
        close(holder);
        return early;
    }
    early.verdict = open_verdict::opened;
    early.again = turn_taken(holder);
    int fd = early.again ? -1 : reopen_for(early, probe, O_WRONLY | O_TRUNC);
    end_turn({holder, false});
    close(holder);
    if (fd >= 0 && try_turn({fd, true}) == turn::held) {
        early.fd = fd;
        early.held = true;
        return early;
    }
    end_input_turns(request);
    if (fd >= 0)
        close(fd);
    early.again = early.again || fd >= 0;
    if (early.again)
        sleep_ms(TURN_RETRY_MS);
    return early;
}

// Opens for writing the file that probe holds, unless it shares storage
// with an input.
early_open reopen_unless_input(int probe, const output_request& request)
{
    early_open early = {open_verdict::unmeasured, -1, request.count, false, false};
    struct stat found;
    if (fstat(probe, &found) != 0) {
        early.error = errno;
        return early;
    }
    file_facts named = facts_of_kind(file_kind::regular);
    named.id = id_of(found);
    follow_storage(probe, found, 0, INT64_MAX, named.under, {0, true, true});
    early.input = input_index(named, request.inputs, request.count);
    if (early.input < request.count) {
        early.verdict = open_verdict::same_as_input;
        return early;
    }
    reopen how = how_to_reopen(probe, found, named, request);
    if (how == reopen::unmeasured) {
        early.error = errno;
        return early;
    }
    early.verdict = open_verdict::opened;
    if (how == reopen::emptied)
        return reopen_emptied(probe, early, request);
    // A device is claimed only once it is this run's turn. A file or a
    // device is read too where it lets itself be, so that it can be told
    // apart from the inputs by reading where the walk cannot tell.
    bool bytes = S_ISREG(found.st_mode) || S_ISBLK(found.st_mode);
    early.fd = bytes ? reopen_for(early, probe, O_RDWR) : -1;
    if (early.fd < 0)
        early.fd = reopen_for(early, probe, O_WRONLY);
    return early;
}

// Makes an absent DEST in its directory once the directory is known not to
// stand on an input: a file made in a file system that an input holds would
// change the input's bytes. Another program's file made there meanwhile is
// looked at again; a dangling symbolic link makes its target by name.
early_open make_in_directory(const char* path, const output_request& request)
{
    early_open early = {open_verdict::opened, -1, request.count, false, false};
    // A name that ends in a slash is left to an open by name, which says why it fails.
    const char* slash = std::strrchr(path, '/');
    const char* leaf = slash == nullptr ? path : slash + 1;
    char copy[PATH_MAX];
    bool told = leaf[0] != '\0' && std::strlen(path) < sizeof copy;
    int directory =
        told ? open(dirname(std::strcpy(copy, path)), O_PATH | O_DIRECTORY | O_CLOEXEC) : -1;
    struct stat info;
    if (directory < 0 || fstat(directory, &info) != 0) {
        if (directory >= 0)
            close(directory);
        return early;
    }
    file_facts place = facts_of_kind(file_kind::directory);
    follow_storage(directory, info, 0, INT64_MAX, place.under, {0, true, false});
    early.input = input_index(place, request.inputs, request.count);
    if (early.input < request.count) {
        early.verdict = open_verdict::same_as_input;
        close(directory);
        return early;
    }
    early.fd = openat(directory, leaf, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    early.error = early.fd < 0 ? errno : NO_REASON;
    early.created = early.fd >= 0;
    early.again =
        early.error == EEXIST &&
        !(fstatat(directory, leaf, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode));
    close(directory);
    return early;
}

} // namespace

early_open open_after_look(const char* path, const output_request& request)
{
    for (;;) {
        // Compared before any open for writing, which on overlayfs would copy
        // an input up even when the run is then refused.
        int probe = open(path, O_PATH | O_CLOEXEC);
        early_open early = {open_verdict::opened, -1, request.count, false, false};
        if (probe < 0 && errno == ENOENT)
            early = make_in_directory(path, request);
        if (probe >= 0) {
            early = reopen_unless_input(probe, request);
            close(probe);
        }
        if (early.again)
            continue;
        // Without /proc the file is opened by its name, and checked as open;
        // so is one that a look could not tell about.
        if (early.verdict == open_verdict::opened && early.fd < 0 && early.error != ENOENT &&
            early.error != NO_REASON && early.error != EEXIST)
            early.verdict = open_verdict::cannot_open;
        return early;
    }
}

opened_fd claim_device(int fd)
{
    opened_fd claimed = open_again(fd, O_WRONLY | O_EXCL);
    if (claimed.fd >= 0 || claimed.error != ENOENT)
        return claimed;
    // Without /proc the device is written unclaimed, as by its name.
    int again = dup(fd);
    return {again, again < 0 ? errno : NO_REASON};
}
