#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# shellcheck source=.ci/lib.sh
. "$(dirname "$0")/../lib.sh"
cmake --preset posix-portable
cmake --build --preset posix-portable
run_suite "${portable_skips[@]}" -- ctest --preset posix-portable -j2
