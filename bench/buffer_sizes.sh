#!/usr/bin/env bash
# Times the streaming path with each candidate working-buffer size, to choose
# WORK_BUFFER_SIZE in src/talvor.h. Builds one copy of the tool per size in a
# scratch directory; the tree itself is not touched. Needs hyperfine.
#
#   bench/buffer_sizes.sh            (run from the repository's root)
set -euo pipefail

root=$(pwd)
work=$(mktemp -d "${BENCH_DIR:-/var/tmp}/talvor-buffers.XXXXXX")
shm=/dev/shm/talvor-buffers-$$
trap 'rm -rf "$work" "$shm"' EXIT

sizes=(262144 524288 1048576 2097152 4194304)
for size in "${sizes[@]}"; do
    mkdir "$work/$size"
    cp -r "$root/src" "$root/CMakeLists.txt" "$root/tests" "$root/man" "$work/$size/"
    sed -i "s/^constexpr std::size_t WORK_BUFFER_SIZE = .*;/constexpr std::size_t WORK_BUFFER_SIZE = $size;/" \
        "$work/$size/src/talvor.h"
    cmake -S "$work/$size" -B "$work/$size/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DTALVOR_BUILD_TESTS=OFF >/dev/null
    cmake --build "$work/$size/build" --target talvor >/dev/null
done

# tmpfs to disk and a pipe both take the streaming path.
head -c 32768 /dev/urandom >"$work/IP.BIN"
head -c 512M /dev/urandom >"$shm"
cd "$work"
commands=()
for size in "${sizes[@]}"; do
    commands+=(-n "file $((size / 1024)) KiB" "$size/build/talvor $shm out")
done
hyperfine --warmup 2 --runs 10 "${commands[@]}"
commands=()
for size in "${sizes[@]}"; do
    commands+=(-n "pipe $((size / 1024)) KiB" "cat $shm | $size/build/talvor /dev/stdin out")
done
hyperfine --warmup 2 --runs 10 "${commands[@]}"
