#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Times the copy through the buffer with candidate sizes, to choose
# WORK_BUFFER_SIZE (files the kernel cannot copy: tmpfs to disk) and
# STREAM_READ_SIZE (pipes) in src/talvor.h. Builds one copy of the tool per
# size in a scratch directory; the tree itself is not touched. Needs hyperfine.
#
#   bench/buffer_sizes.sh            (run from the repository's root)
set -euo pipefail

root=$(pwd)
work=$(mktemp -d "${BENCH_DIR:-/var/tmp}/talvor-buffers.XXXXXX")
shm=/dev/shm/talvor-buffers-$$
trap 'rm -rf "$work" "$shm"' EXIT

# build NAME WORK_BUFFER_SIZE STREAM_READ_SIZE
build() {
    mkdir "$work/$1"
    cp -r "$root/src" "$root/CMakeLists.txt" "$root/man" "$work/$1/"
    sed -i -e "s/^constexpr std::size_t WORK_BUFFER_SIZE = .*;/constexpr std::size_t WORK_BUFFER_SIZE = $2;/" \
        -e "s/^constexpr std::size_t STREAM_READ_SIZE = .*;/constexpr std::size_t STREAM_READ_SIZE = $3;/" \
        "$work/$1/src/talvor.h"
    cmake -S "$work/$1" -B "$work/$1/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DTALVOR_BUILD_TESTS=OFF >/dev/null
    cmake --build "$work/$1/build" --target talvor >/dev/null
}

head -c 32768 /dev/urandom >"$work/IP.BIN"
head -c 512M /dev/urandom >"$shm"
cd "$work"
commands=()
for size in 262144 524288 1048576 2097152 4194304; do
    build "file$size" "$size" 65536
    commands+=(-n "file, buffer $((size / 1024)) KiB" "file$size/build/talvor $shm out")
done
hyperfine --warmup 2 --runs 10 --prepare "rm -f out" "${commands[@]}"
commands=()
for size in 32768 65536 131072 262144 1048576; do
    build "pipe$size" 1048576 "$size"
    commands+=(-n "pipe, reads of $((size / 1024)) KiB" "cat $shm | pipe$size/build/talvor /dev/stdin out")
done
hyperfine --warmup 2 --runs 10 --prepare "rm -f out" "${commands[@]}"
