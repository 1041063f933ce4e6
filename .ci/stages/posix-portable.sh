#!/usr/bin/env bash
# shellcheck source=.ci/lib.sh
. "$(dirname "$0")/../lib.sh"
run_suite cmake --workflow --preset posix-portable
