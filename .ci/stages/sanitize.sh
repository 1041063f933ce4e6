#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# shellcheck source=.ci/lib.sh
. "$(dirname "$0")/../lib.sh"
# The sanitize workflow, with its cases two at a time: each has a directory of its own.
cmake --preset sanitize
cmake --build --preset sanitize
run_suite "${posix_skips[@]}" -- ctest --preset sanitize -j2
