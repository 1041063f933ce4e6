// SPDX-License-Identifier: MIT
// What the tool writes on standard output and standard error, and why a call
// failed, in the tool's own words where it has them.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "host.h"

// NOLINTNEXTLINE(cert-dcl50-cpp): a printf wrapper, whose formats the compiler checks
void print_text(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
}

// NOLINTNEXTLINE(cert-dcl50-cpp): a printf wrapper, whose formats the compiler checks
void print_error_text(const char* format, ...)
{
    // Written after the report's message, even when both go to one file.
    std::fflush(stdout);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
}

int last_error()
{
    return errno;
}

std::string reason_text(int error, bool)
{
    switch (error) {
    case ENOENT:
        return "absent";
    case EACCES:
    case EPERM:
        return "permission refusee";
    case EISDIR:
        return "est un repertoire";
    case EROFS:
        return "systeme de fichiers en lecture seule";
    case EBUSY:
        return "peripherique monte ou occupe";
    case ENOSPC:
    case EDQUOT:
        return "plus de place";
    case EFBIG:
        return "fichier trop grand";
    case EIO:
        return "erreur d'entree-sortie";
    default:
        return std::strerror(error);
    }
}
