#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# shellcheck source=.ci/lib.sh
. "$(dirname "$0")/../lib.sh"
cmake --preset release -B build/fallback -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON | tee build/fallback.log
grep -q 'Building GoogleTest from' build/fallback.log
cmake --build build/fallback
# The fault points need no second run here: this stage is about GoogleTest.
run_suite "${posix_skips[@]}" -- ctest --test-dir build/fallback --output-on-failure \
    --no-tests=error -j2 -E "^Scenarios/FaultPoint\\."
