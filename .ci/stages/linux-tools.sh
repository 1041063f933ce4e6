#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# shellcheck source=.ci/lib.sh
. "$(dirname "$0")/../lib.sh"
declare -A file_says=(
    [x86_64]='ELF 64-bit LSB executable, x86-64, .* statically linked'
    [i386]='ELF 32-bit LSB executable, Intel 80386, .* statically linked'
    [arm64]='ELF 64-bit LSB executable, ARM aarch64, .* statically linked'
    [armhf]='ELF 32-bit LSB executable, ARM, EABI5 .* statically linked'
)
for arch in "${linux_arches[@]}"; do
    cmake --workflow --preset linux-$arch
    file build/linux-$arch/talvor | grep -Eq "${file_says[$arch]}"
done
