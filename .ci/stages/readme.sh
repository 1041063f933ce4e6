#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# shellcheck source=.ci/lib.sh
. "$(dirname "$0")/../lib.sh"
# The Nth shell block of the README's Quick start, exactly as a user copies it.
readme_command() {
    awk -v want="$1" '/^## /{ quick = ($0 == "## Quick start") }
        quick && /^```sh$/ { n++; inside = (n == want); next }
        /^```$/ { inside = 0 } inside' README.md
}

run_command=$(readme_command 1)
[ -n "$run_command" ] || { echo "CI: no run command in the README" >&2; exit 1; }
for round in 1 2; do
    out=$(bash -c "$run_command")
    echo "$out"
    grep -q 'insere avec succes' <<<"$out" || { echo "CI: run $round gave no report" >&2; exit 1; }
done
cmp -n 2048 examples/IP.BIN build/tool/patched.img
cmp -i 2048 examples/image.img build/tool/patched.img

test_command=$(readme_command 2)
[ -n "$test_command" ] || { echo "CI: no test command in the README" >&2; exit 1; }
run_suite "${posix_skips[@]}" -- bash -c "$test_command"
