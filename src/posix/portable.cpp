// SPDX-License-Identifier: MIT
// Where only POSIX is offered, the destination is opened by its name, and
// checked once open; no device or file is known to show another.
#include "system.h"

shown_file holder_of_file(int)
{
    return {true, {0, 0}};
}

device_place place_of_device(int, const struct stat&)
{
    return {true, {0, 0}, {0, 0, 0}};
}

early_open open_after_look(const char*, const file_facts*, std::size_t count, progress_line&)
{
    return {open_verdict::opened, -1, count, false};
}
