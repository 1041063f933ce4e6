// SPDX-License-Identifier: MIT
// What an open file stands on, followed down as far as the system tells,
// which input DEST shares any of it with, what standard output is, and
// DEST opened only as what no input is.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "system.h"

namespace {

// A device is claimed, as mkfs claims it, once the turn is this run's; the
// descriptor that holds the turn stays open until the process ends. Neither
// a device nor a file is written under another device that is in use. error
// says why one was refused.
int claim_unless_in_use(int fd, const file_facts& facts, int& error)
{
    opened_fd claimed = {fd, NO_REASON};
    if (facts.kind == file_kind::block_device)
        claimed = claim_device(fd);
    error = claimed.error;
    if (claimed.fd >= 0 && holds_bytes(facts.kind) && storage_in_use(claimed.fd, facts)) {
        if (claimed.fd != fd)
            close(claimed.fd);
        error = REASON_DEVICE_BUSY;
        return -1;
    }
    return claimed.fd;
}

// Opens DEST by its name where no look came first: made new when absent;
// else for reading too when it holds bytes, so that it can be told apart
// from the inputs by reading.
int open_by_name(const char* path, bool& created)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    created = fd >= 0;
    if (created || errno != EEXIST)
        return fd;
    struct stat named;
    if (stat(path, &named) == 0 && (S_ISREG(named.st_mode) || S_ISBLK(named.st_mode)) &&
        (fd = open(path, O_RDWR | O_CLOEXEC)) >= 0)
        return fd;
    return open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
}

// Held, then measured: what another run left is what this one measures.
output measure_held(int fd, bool held, const output_request& request)
{
    output result = {nullptr, open_verdict::unmeasured, request.count, {}, NO_REASON, false};
    struct stat info;
    if (fstat(fd, &info) != 0) {
        result.error = errno;
        return result;
    }
    // An input's own file would wait for the turn this run holds on it.
    file_facts named = facts_of_kind(file_kind::unmeasured);
    named.id = id_of(info);
    result.input = input_index(named, request.inputs, request.count);
    if (result.input < request.count) {
        result.verdict = open_verdict::same_as_input;
        return result;
    }
    // A pipe or a character device keeps no bytes for two runs to mix.
    bool bytes = S_ISREG(info.st_mode) || S_ISBLK(info.st_mode);
    if (!held && !take_run_turns(bytes ? fd : -1, true, request))
        return result;
    result.facts = measure_descriptor(fd, true);
    result.error = result.facts.error;
    if (result.facts.kind == file_kind::unmeasured)
        return result;
    result.input = input_index(result.facts, request.inputs, request.count);
    if (result.input < request.count) {
        result.verdict = open_verdict::same_as_input;
        return result;
    }
    int out = claim_unless_in_use(fd, result.facts, result.error);
    result.verdict = open_verdict::cannot_open;
    if (out >= 0 && (result.stream = fdopen(out, "wb")) != nullptr) {
        std::setvbuf(result.stream, nullptr, _IONBF, 0);
        result.verdict = open_verdict::opened;
    } else if (out >= 0) {
        result.error = errno;
        if (out != fd)
            close(out);
    }
    return result;
}

} // namespace

file_id id_of(const struct stat& info)
{
    return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

void add_place(storage& under, file_id id, std::int64_t start, std::int64_t end, walk at)
{
    if (under.count == MOST_PLACES) {
        under.followed = false;
        return;
    }
    under.place[under.count++] = {id, start, end, at.holds};
}

void follow_storage(int fd, const struct stat& info, std::int64_t start, std::int64_t end,
                    storage& under, walk at)
{
    if (S_ISBLK(info.st_mode)) {
        follow_device(info.st_rdev, start, end, under, at);
        return;
    }
    add_place(under, id_of(info), start, end, at);
    if (S_ISREG(info.st_mode) || S_ISDIR(info.st_mode))
        follow_file(fd, info, start, end, under, at);
}

std::size_t input_index(const file_facts& file, const file_facts* inputs, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
        if (share_storage(file, inputs[i]))
            return i;
    return count;
}

file_facts measure_report_output()
{
    struct stat info;
    if (fstat(STDOUT_FILENO, &info) != 0) {
        // Closed: the report goes nowhere, so no file can be spoilt by it.
        int error = errno;
        file_facts facts =
            facts_of_kind(error == EBADF ? file_kind::stream : file_kind::unmeasured);
        facts.error = error == EBADF ? NO_REASON : error;
        return facts;
    }
    if (S_ISCHR(info.st_mode))
        return facts_of_kind(file_kind::stream);
    return measure_descriptor(STDOUT_FILENO, true);
}

output open_output(const char* path, const output_request& request)
{
    output result = {nullptr, open_verdict::cannot_open, request.count, {}, NO_REASON, false};
    early_open early = open_after_look(path, request);
    if (early.verdict != open_verdict::opened) {
        result.verdict = early.verdict;
        result.input = early.input;
        result.error = early.error;
        return result;
    }
    bool created = early.created;
    int fd = early.fd >= 0 ? early.fd : open_by_name(path, created);
    if (fd < 0) {
        result.error = errno;
        return result;
    }
    // Checked again as open: a name swapped in after any look may be an
    // input, which this open did not truncate.
    result = measure_held(fd, early.held, request);
    result.created = created;
    if (result.stream == nullptr)
        close(fd);
    return result;
}
