// SPDX-License-Identifier: MIT
// What the tool writes on standard output and standard error, and why a call
// failed, in the tool's own words where it has them.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "host.h"

void write_standard(standard_stream to, const std::string& text)
{
    bool error = to == standard_stream::error;
    // Written after the report's message, even when both go to one file.
    if (error)
        std::fflush(stdout);
    std::fwrite(text.data(), 1, text.size(), error ? stderr : stdout);
}

int last_error()
{
    return errno;
}

std::string reason_text(int error)
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
