#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Times every path that copies through the buffer with candidate sizes of
# WORK_BUFFER_SIZE in src/talvor.h, against what a user would do instead, to
# choose the size that is fastest across them. Builds one copy of the tool
# per size in a scratch directory; the tree itself is not touched.
#
#   bench/buffer_sizes.sh            (run from the repository's root)
#
# The paths, each with 512 MiB of random bytes, warm in the page cache:
#   kernel declines   a file on tmpfs to a file on disk, which copy_file_range refuses
#   device SOURCE     a loop device over a file, to a file
#   pipe              cat | talvor /dev/stdin, against cat | cat
#   hidden holes      a sparse file on ntfs-3g, which reports no hole, to a file
#   device DEST       a file to a loop device over tmpfs, flushed at the end
# The reference is "cp SOURCE DEST && dd if=IP.BIN of=DEST bs=32768 count=1
# conv=notrunc" (and conv=fsync onto the device). Each round runs every
# command once, in a new random order; the table gives the median time and
# the median of the rounds' ratios to the reference. Needs python3; as root
# the device and NTFS paths run too (losetup; ntfs-3g). ROUNDS (default 11),
# SIZES (bytes, default "131072 262144 524288 1048576"), BENCH_DIR (default
# /var/tmp) pick the rounds, the sizes and the disk.
set -euo pipefail

root=$(pwd)
rounds=${ROUNDS:-11}
sizes=${SIZES:-131072 262144 524288 1048576}
work=$(mktemp -d "${BENCH_DIR:-/var/tmp}/talvor-buffers.XXXXXX")
shm=$(mktemp -d /dev/shm/talvor-buffers.XXXXXX)
loops=()
cleanup() {
    local l
    for l in "${loops[@]}"; do losetup -d "$l"; done
    mountpoint -q "$work/ntfs" 2>/dev/null && umount "$work/ntfs"
    rm -rf "$work" "$shm"
}
trap cleanup EXIT

# build NAME WORK_BUFFER_SIZE
build() {
    mkdir "$work/$1"
    tar -C "$root" --exclude=./build --exclude=./.git -cf - . | tar -C "$work/$1" -xf -
    sed -i -e "s/^constexpr std::size_t WORK_BUFFER_SIZE = .*;/constexpr std::size_t WORK_BUFFER_SIZE = $2;/" \
        "$work/$1/src/talvor.h"
    cmake -S "$work/$1" -B "$work/$1/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DTALVOR_BUILD_TESTS=OFF >/dev/null
    cmake --build "$work/$1/build" --target talvor >/dev/null
}

cd "$work"
for size in $sizes; do
    build "b$size" "$size"
done
head -c 32768 /dev/urandom >IP.BIN
head -c 512M /dev/urandom >"$shm/src"
cp "$shm/src" src
dd_head() {
    echo "dd if=IP.BIN of=$1 bs=32768 count=1 conv=notrunc${2:-} status=none"
}

# One line per path: "label@prepare@talvor's command@reference", the
# talvor command's %T standing for each build's tool.
paths=("kernel declines@rm -f o r@%T $shm/src o@cp $shm/src r && $(dd_head r)"
    "pipe@rm -f o r@cat $shm/src | %T /dev/stdin o@cat $shm/src | cat > r && $(dd_head r)")
if [ "$(id -u)" -eq 0 ] && source_loop=$(losetup -f --show src 2>/dev/null); then
    loops+=("$source_loop")
    paths+=("device SOURCE@rm -f o r@%T $source_loop o@cp $source_loop r && $(dd_head r)")
else
    echo "bench: device SOURCE skipped: needs root and a loop device"
fi
if [ "$(id -u)" -eq 0 ] && truncate -s 520M "$shm/device" &&
    device_loop=$(losetup -f --show "$shm/device" 2>/dev/null); then
    loops+=("$device_loop")
    paths+=("device DEST@true@%T src $device_loop@cp src $device_loop && $(dd_head "$device_loop" ,fsync)")
else
    echo "bench: device DEST skipped: needs root and a loop device"
fi
if [ "$(id -u)" -eq 0 ] && command -v ntfs-3g >/dev/null && command -v mkfs.ntfs >/dev/null; then
    truncate -s 2G ntfs.img
    mkfs.ntfs -q -F -f ntfs.img >/dev/null 2>&1
    mkdir ntfs
    ntfs-3g ntfs.img ntfs
    # Half data, half holes, a MiB of each in turn.
    for ((i = 0; i < 256; i++)); do
        dd if=src of=ntfs/sparse bs=1M count=1 skip=$((2 * i)) seek=$((2 * i)) conv=notrunc status=none
    done
    truncate -s 512M ntfs/sparse
    paths+=("hidden holes@rm -f o r@%T ntfs/sparse o@cp ntfs/sparse r && $(dd_head r)")
else
    echo "bench: hidden holes skipped: needs root and ntfs-3g"
fi
sync

python3 - "$rounds" "$sizes" "${paths[@]}" <<'PY'
import random, statistics, subprocess, sys, time

rounds, sizes, paths = int(sys.argv[1]), sys.argv[2].split(), sys.argv[3:]

def timed(prepare, command):
    subprocess.run(prepare, shell=True, check=True)
    start = time.monotonic()
    subprocess.run(command, shell=True, check=True, stdout=subprocess.DEVNULL)
    return time.monotonic() - start

print("%-16s %12s" % ("path", "reference") +
      "".join("%22s" % ("%d KiB" % (int(s) // 1024)) for s in sizes))
for path in paths:
    label, prepare, ours, reference = path.split("@")
    commands = {"ref": reference}
    for s in sizes:
        commands[s] = ours.replace("%T", "./b%s/build/talvor" % s)
    times = {name: [] for name in commands}
    for name, command in commands.items():  # warm-up
        timed(prepare, command)
    for _ in range(rounds):
        order = list(commands)
        random.shuffle(order)
        for name in order:
            times[name].append(timed(prepare, commands[name]))
    ref = times["ref"]
    row = "%-16s %9.0f ms" % (label, statistics.median(ref) * 1000)
    for s in sizes:
        ratio = statistics.median(a / b for a, b in zip(times[s], ref))
        row += "%13.0f ms %5.2fx" % (statistics.median(times[s]) * 1000, ratio)
    print(row, flush=True)
PY
