// SPDX-License-Identifier: MIT
/* Preloaded into the tool by the tests: when the tool creates the path named
 * by TALVOR_SWAP_PATH, that path is first replaced by a hard link to
 * TALVOR_SWAP_TARGET. This is the race of another process swapping the
 * destination after any check of its name, made deterministic. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

typedef int (*open_fn)(const char*, int, ...);

static int swapped_open(const char* symbol, const char* path, int flags, mode_t mode)
{
    const char* swap = getenv("TALVOR_SWAP_PATH");
    const char* target = getenv("TALVOR_SWAP_TARGET");
    if (swap != NULL && target != NULL && (flags & O_CREAT) && strcmp(path, swap) == 0) {
        unlink(path);
        link(target, path);
    }
    void* found = dlsym(RTLD_NEXT, symbol);
    open_fn next;
    memcpy(&next, &found, sizeof next); /* ISO C has no cast for this */
    return next(path, flags, mode);
}

int open(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = (flags & O_CREAT) ? (mode_t)va_arg(args, int) : 0;
    va_end(args);
    return swapped_open("open", path, flags, mode);
}

int open64(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = (flags & O_CREAT) ? (mode_t)va_arg(args, int) : 0;
    va_end(args);
    return swapped_open("open64", path, flags, mode);
}
