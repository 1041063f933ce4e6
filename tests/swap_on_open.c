// SPDX-License-Identifier: MIT
/* Preloaded into the tool by the tests: when the tool creates the path named
 * by TALVOR_SWAP_PATH (by that name, or by that name in the current
 * directory), that path is first replaced by a hard link to
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
typedef int (*openat_fn)(int, const char*, int, ...);

static void swap(const char* path, int flags)
{
    const char* swapped = getenv("TALVOR_SWAP_PATH");
    const char* target = getenv("TALVOR_SWAP_TARGET");
    if (swapped != NULL && target != NULL && (flags & O_CREAT) && strcmp(path, swapped) == 0) {
        unlink(path);
        link(target, path);
    }
}

static void* next_symbol(const char* symbol)
{
    return dlsym(RTLD_NEXT, symbol);
}

static int swapped_open(const char* symbol, const char* path, int flags, mode_t mode)
{
    swap(path, flags);
    void* found = next_symbol(symbol);
    open_fn next;
    memcpy(&next, &found, sizeof next); /* ISO C has no cast for this */
    return next(path, flags, mode);
}

static int swapped_openat(const char* symbol, int at, const char* path, int flags, mode_t mode)
{
    swap(path, flags);
    void* found = next_symbol(symbol);
    openat_fn next;
    memcpy(&next, &found, sizeof next);
    return next(at, path, flags, mode);
}

int openat(int at, const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = (flags & O_CREAT) ? (mode_t)va_arg(args, int) : 0;
    va_end(args);
    return swapped_openat("openat", at, path, flags, mode);
}

int openat64(int at, const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = (flags & O_CREAT) ? (mode_t)va_arg(args, int) : 0;
    va_end(args);
    return swapped_openat("openat64", at, path, flags, mode);
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
