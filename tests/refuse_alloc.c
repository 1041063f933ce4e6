/* Preloaded into the tool by the tests: refuses any allocation as large as
 * the smallest working buffer the tool may use, and passes the rest on. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stddef.h>

enum { REFUSED_FROM = 256 * 1024 };

void* malloc(size_t size)
{
    static void* (*next)(size_t);
    if (size >= REFUSED_FROM) {
        errno = ENOMEM;
        return NULL;
    }
    if (next == NULL)
        next = (void* (*)(size_t))dlsym(RTLD_NEXT, "malloc");
    return next(size);
}
