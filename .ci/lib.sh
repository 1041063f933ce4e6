# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# Sourced by .ci/run and by each stage, so that a stage also runs alone:
# bash .ci/stages/NAME.sh from anywhere.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

export DEBIAN_FRONTEND=noninteractive
export HOME=${HOME:-/root}
export WINEDEBUG=-all LC_ALL=C.UTF-8
linux_arches=(x86_64 i386 arm64 armhf)
declare -A linux_triple=([x86_64]=x86_64-linux-gnu [i386]=i686-linux-gnu
    [arm64]=aarch64-linux-gnu [armhf]=arm-linux-gnueabihf)

# Installs the packages that are missing; updates the lists first, once.
updated=
install() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$p")
    done
    [ ${#missing[@]} -gt 0 ] || return 0
    echo "== installing: ${missing[*]}"
    [ -n "$updated" ] || { apt-get update -q; updated=1; }
    apt-get install -y -q "${missing[@]}"
}

# ctest prints "N tests failed out of M"; refuse a run that counted no test.
run_suite() {
    local log
    log=$(mktemp)
    "$@" 2>&1 | tee "$log"
    local status=${PIPESTATUS[0]}
    if [ "$status" -ne 0 ]; then
        echo "CI: '$*' failed with status $status" >&2
        exit "$status"
    fi
    if ! grep -Eq 'tests passed, 0 tests failed out of [1-9][0-9]*' "$log"; then
        echo "CI: '$*' ran no test" >&2
        exit 1
    fi
    rm -f "$log"
}

# Where no binfmt handler took 32-bit x86 programs, the kernel runs them itself.
i386_emulated() {
    grep -qsx enabled /proc/sys/fs/binfmt_misc/qemu-i386
}
