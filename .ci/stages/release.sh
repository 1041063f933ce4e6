#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# shellcheck source=.ci/lib.sh
. "$(dirname "$0")/../lib.sh"
man --warnings -l man/talvor.1 >/dev/null 2>"${TMPDIR:-/tmp}/man.log"
if [ -s "${TMPDIR:-/tmp}/man.log" ]; then cat "${TMPDIR:-/tmp}/man.log"; exit 1; fi
# The archives must hold the very programs the suites ran: release.sh builds
# them afresh.
mkdir -p build/tested-tools
for arch in "${linux_arches[@]}"; do
    sha256sum <build/linux-$arch/talvor >build/tested-tools/linux-$arch.sha256
done
started=$SECONDS
./release.sh
echo "CI: release.sh took $((SECONDS - started)) s"
.ci/lintian.sh build/release-archives
cmake --preset checks >/dev/null
# A tree with uncommitted changes cannot be compared with a release of its commit.
reproducible_skip=()
git diff --quiet HEAD || reproducible_skip=(-s '^release\.reproducible$')
run_suite "${reproducible_skip[@]}" -- ctest --preset release-checks
