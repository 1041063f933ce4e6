// SPDX-License-Identifier: MIT
/* Preloaded into the tool by the tests: the file TALVOR_CUT_FILE is cut to
 * TALVOR_CUT_LENGTH bytes once the tool is copying its body, at its first
 * look for data (lseek SEEK_DATA), kernel copy, or second read of that file,
 * whichever comes first, as another program cutting it meanwhile would. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

static void* next_symbol(const char* name)
{
    return dlsym(RTLD_NEXT, name);
}

static void cut_now(void)
{
    static int done;
    const char* file = getenv("TALVOR_CUT_FILE");
    const char* length = getenv("TALVOR_CUT_LENGTH");
    if (done || file == NULL || length == NULL)
        return;
    done = 1;
    if (truncate(file, (off_t)atoll(length)) != 0)
        perror("cut_source: truncate");
}

/* Whether the stream reads the file to be cut. */
static int reads_cut_file(FILE* stream)
{
    const char* file = getenv("TALVOR_CUT_FILE");
    struct stat named;
    struct stat open_file;
    return file != NULL && stat(file, &named) == 0 && fstat(fileno(stream), &open_file) == 0 &&
           named.st_dev == open_file.st_dev && named.st_ino == open_file.st_ino;
}

off_t lseek(int fd, off_t offset, int whence)
{
    off_t (*next)(int, off_t, int);
    void* found = next_symbol("lseek");
    memcpy(&next, &found, sizeof next); /* ISO C has no cast for this */
    if (whence == SEEK_DATA)
        cut_now();
    return next(fd, offset, whence);
}

off64_t lseek64(int fd, off64_t offset, int whence)
{
    off64_t (*next)(int, off64_t, int);
    void* found = next_symbol("lseek64");
    memcpy(&next, &found, sizeof next);
    if (whence == SEEK_DATA)
        cut_now();
    return next(fd, offset, whence);
}

ssize_t copy_file_range(int in, loff_t* in_offset, int out, loff_t* out_offset, size_t length,
                        unsigned flags)
{
    ssize_t (*next)(int, loff_t*, int, loff_t*, size_t, unsigned);
    void* found = next_symbol("copy_file_range");
    memcpy(&next, &found, sizeof next);
    cut_now();
    return next(in, in_offset, out, out_offset, length, flags);
}

size_t fread(void* bytes, size_t size, size_t count, FILE* stream)
{
    static int reads;
    size_t (*next)(void*, size_t, size_t, FILE*);
    void* found = next_symbol("fread");
    memcpy(&next, &found, sizeof next);
    if (reads_cut_file(stream) && ++reads == 2)
        cut_now();
    return next(bytes, size, count, stream);
}
