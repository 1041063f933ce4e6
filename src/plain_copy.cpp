// SPDX-License-Identifier: MIT
// For hosts without a kernel copy, shared blocks, hole punching or wider
// pipes: each declines, and the caller copies through its buffer, cuts or
// writes zeros, and reads at its smallest step.
#include "host.h"

bool share_blocks(std::FILE*, std::FILE*, std::int64_t, std::int64_t)
{
    return false;
}

std::size_t widen_pipe(std::FILE*, std::size_t)
{
    return 0;
}

copied kernel_copy(std::FILE*, std::FILE*, std::int64_t, std::int64_t)
{
    return {DONE, 0};
}

bool punch_hole(std::FILE*, std::int64_t, std::int64_t)
{
    return false;
}
