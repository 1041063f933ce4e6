#!/usr/bin/env bash
# Times talvor against "cp --reflink=auto && dd conv=notrunc" and reports its
# peak memory. A measurement for people, not a test: CI does not run it.
#
#   bench/run.sh [path/to/talvor]      (default: build/release/talvor)
#
# Needs hyperfine and /usr/bin/time (Debian: hyperfine, time). As root it also
# mounts a loop XFS image with reflink to time the shared-extent case
# (Debian: xfsprogs). BENCH_DIR picks the disk to work on (default /var/tmp);
# ROUNDS sets how many paired hyperfine rounds each case gets (default 5).
set -euo pipefail

tool=$(realpath "${1:-build/release/talvor}")
rounds=${ROUNDS:-5}
work=$(mktemp -d "${BENCH_DIR:-/var/tmp}/talvor-bench.XXXXXX")
mnt="$work/xfs"

cleanup() {
    mountpoint -q "$mnt" 2>/dev/null && umount "$mnt"
    rm -rf "$work"
}
trap cleanup EXIT

for need in hyperfine /usr/bin/time python3; do
    command -v "$need" >/dev/null || { echo "bench: $need is missing" >&2; exit 1; }
done

# Median of each command over one hyperfine run; prints "tool other" in ms.
medians() {
    local json=$work/h.json
    hyperfine -N --style none --warmup 3 --runs "$1" --export-json "$json" \
        "$2" "$3" >/dev/null 2>&1 || hyperfine --style none --warmup 3 --runs "$1" \
        --export-json "$json" "$2" "$3" >/dev/null
    python3 -c 'import json,sys; r=json.load(open(sys.argv[1]))["results"]; print(" ".join("%.3f" % (x["median"]*1000) for x in r))' "$json"
}

# Several hyperfine rounds, each timing both commands, in alternating order so
# that neither always runs first; prints the median ratio tool/reference with
# the rounds' min-max, so noise shows.
compare() {
    local label=$1 runs=$2 ours=$3 theirs=$4 ratios=() line
    for ((i = 0; i < rounds; i++)); do
        if ((i % 2 == 0)); then
            line=$(medians "$runs" "$ours" "$theirs")
        else
            line=$(medians "$runs" "$theirs" "$ours" | awk '{ print $2, $1 }')
        fi
        ratios+=("$line")
    done
    printf '%s\n' "${ratios[@]}" | python3 -c '
import sys, statistics
label = sys.argv[1]
pairs = [tuple(map(float, l.split())) for l in sys.stdin if l.strip()]
r = [a / b for a, b in pairs]
t = [a for a, _ in pairs]
c = [b for _, b in pairs]
print(f"{label}: talvor {statistics.median(t):.2f} ms ({min(t):.2f}-{max(t):.2f}), "
      f"cp+dd {statistics.median(c):.2f} ms ({min(c):.2f}-{max(c):.2f}), "
      f"ratio {statistics.median(r):.3f} ({min(r):.3f}-{max(r):.3f})")' "$label"
}

peak_kib() {
    /usr/bin/time -f %M "$tool" "$1" "$2" 2>&1 >/dev/null | tail -1
}

reference() {
    echo "cp --reflink=auto $1 $2 && dd if=IP.BIN of=$2 bs=32768 count=1 conv=notrunc status=none"
}

cd "$work"
head -c 32768 /dev/urandom >IP.BIN
head -c 1M /dev/urandom >src1m
head -c 512M /dev/urandom >src512m
# Let the new sources reach the disk before anything is timed.
sync

echo "== ext4 or whatever holds $work (kernel copy)"
compare "1 MiB source" 200 "$tool src1m out1m" "sh -c '$(reference src1m ref1m)'"
compare "512 MiB source" 10 "$tool src512m out512m" "sh -c '$(reference src512m ref512m)'"
cmp out512m ref512m && cmp out1m ref1m

echo "== peak memory (maximum resident set, KiB)"
echo "kernel copy:    1 MiB $(peak_kib src1m out1m), 512 MiB $(peak_kib src512m out512m)"
if [ -w /dev/shm ]; then
    # tmpfs to disk cannot be copied by the kernel: this is the streaming path.
    cp src1m /dev/shm/talvor-bench-1m
    cp src512m /dev/shm/talvor-bench-512m
    echo "streaming:      1 MiB $(peak_kib /dev/shm/talvor-bench-1m s1m), 512 MiB $(peak_kib /dev/shm/talvor-bench-512m s512m)"
    compare "streaming 512 MiB from tmpfs" 10 "$tool /dev/shm/talvor-bench-512m s512m" \
        "sh -c '$(reference /dev/shm/talvor-bench-512m r512m)'"
    rm -f /dev/shm/talvor-bench-1m /dev/shm/talvor-bench-512m
fi
rm -f out* ref* s512m s1m r512m

if [ "$(id -u)" -eq 0 ] && command -v mkfs.xfs >/dev/null; then
    echo "== loop-mounted XFS with reflink, 2 GiB source"
    truncate -s 4G "$work/xfs.img"
    mkfs.xfs -q -m reflink=1 "$work/xfs.img"
    mkdir "$mnt"
    mount -o loop "$work/xfs.img" "$mnt"
    cp IP.BIN "$mnt/"
    head -c 2G /dev/urandom >"$mnt/src2g"
    sync
    cd "$mnt"
    compare "2 GiB source on XFS" 20 "$tool src2g out2g" "sh -c '$(reference src2g ref2g)'"
    cmp out2g ref2g
    echo "extents of out2g: $(filefrag -v out2g | grep -c shared) shared of $(filefrag out2g | grep -o '[0-9]* extent')"
    echo "peak memory:    2 GiB $(peak_kib src2g p2g) KiB"
    cd "$work"
else
    echo "== XFS case skipped: needs root and xfsprogs"
fi
