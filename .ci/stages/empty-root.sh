#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# shellcheck source=.ci/lib.sh
. "$(dirname "$0")/../lib.sh"
cmake --preset checks >/dev/null
run_suite -- ctest --preset empty-root -j2
