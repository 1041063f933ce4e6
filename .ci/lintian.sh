#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Fails unless lintian finds no error and no warning, overrides aside, in
# each .deb of the release in $1: the four processors' packages must all be
# there.
set -euo pipefail
dir=${1:?usage: lintian.sh ARCHIVE_DIR}
debs=("$dir"/*.deb)
[ ${#debs[@]} -eq 4 ] || { echo "CI: ${#debs[@]} .deb files in $dir, not 4" >&2; exit 1; }
# The overrides are shown so that the log tells what was let through; lintian
# would then count them in --fail-on, so its own verdict is not used.
report=$(lintian --fail-on none --show-overrides --tag-display-limit 0 "${debs[@]}")
echo "$report"
if grep -q '^[EW]: ' <<<"$report"; then
    echo "CI: lintian finds errors or warnings in ${debs[*]##*/}" >&2
    exit 1
fi
echo "CI: lintian accepts ${debs[*]##*/}"
