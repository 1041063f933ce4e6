#!/usr/bin/env bash
# shellcheck source=.ci/lib.sh
. "$(dirname "$0")/../lib.sh"
cmake --preset release -B build/fallback -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON | tee build/fallback.log
grep -q 'Building GoogleTest from' build/fallback.log
cmake --build build/fallback
run_suite ctest --test-dir build/fallback --output-on-failure --no-tests=error -j2
