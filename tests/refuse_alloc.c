// SPDX-License-Identifier: MIT
/* Preloaded into the tool by the tests: refuses any allocation as large as
 * the smallest working buffer the tool may use, and passes the rest on. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stddef.h>
#include <string.h>

enum { REFUSED_FROM = 64 * 1024 };

void* malloc(size_t size)
{
    static void* (*next)(size_t);
    if (size >= REFUSED_FROM) {
        errno = ENOMEM;
        return NULL;
    }
    if (next == NULL) {
        void* found = dlsym(RTLD_NEXT, "malloc");
        memcpy(&next, &found, sizeof next); /* ISO C has no cast for this */
    }
    return next(size);
}
