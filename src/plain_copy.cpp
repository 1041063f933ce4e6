// SPDX-License-Identifier: MIT
// For hosts without a kernel copy, shared blocks, hole punching, wider pipes
// or ranged pushes: each declines, and the core falls back on its own way.
#include "host.h"

bool share_blocks(std::FILE*, std::FILE*, std::int64_t, std::int64_t)
{
    return false;
}

std::size_t widen_pipe(std::FILE*, std::size_t)
{
    return 0;
}

ended kernel_copy(std::FILE*, std::FILE*, std::int64_t, std::int64_t)
{
    return {DONE};
}

bool punch_hole(std::FILE*, std::int64_t, std::int64_t)
{
    return false;
}

void start_push(std::FILE*, std::int64_t, std::int64_t) {}

bool push_to_device(std::FILE* device, std::int64_t, std::int64_t)
{
    return flush_to_device(device);
}
