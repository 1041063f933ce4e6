// SPDX-License-Identifier: MIT
/* Preloaded into the tool by the tests: once the tool has written to a file
 * TALVOR_STOP_AFTER times (fwrite or copy_file_range, standard output aside),
 * it gets signal TALVOR_STOP_SIGNAL, as from a Ctrl-C or a kill arriving at
 * that very point of the copy. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

static void* next_symbol(const char* name)
{
    return dlsym(RTLD_NEXT, name);
}

static void count_write(void)
{
    static long writes;
    const char* after = getenv("TALVOR_STOP_AFTER");
    const char* signal_number = getenv("TALVOR_STOP_SIGNAL");
    if (after != NULL && signal_number != NULL && ++writes == atol(after))
        raise(atoi(signal_number));
}

size_t fwrite(const void* bytes, size_t size, size_t count, FILE* stream)
{
    size_t (*next)(const void*, size_t, size_t, FILE*);
    void* found = next_symbol("fwrite");
    memcpy(&next, &found, sizeof next); /* ISO C has no cast for this */
    size_t done = next(bytes, size, count, stream);
    if (stream != stdout)
        count_write();
    return done;
}

ssize_t copy_file_range(int in, loff_t* in_offset, int out, loff_t* out_offset, size_t length,
                        unsigned flags)
{
    ssize_t (*next)(int, loff_t*, int, loff_t*, size_t, unsigned);
    void* found = next_symbol("copy_file_range");
    memcpy(&next, &found, sizeof next);
    ssize_t done = next(in, in_offset, out, out_offset, length, flags);
    count_write();
    return done;
}
