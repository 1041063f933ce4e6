#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Times talvor against what a user would do instead, and reports its peak
# memory. A measurement for people, not a test: CI does not run it.
#
#   bench/run.sh [path/to/talvor]      (default: build/release/talvor)
#
# The reference is "cp --reflink=auto SOURCE DEST && dd if=IP.BIN of=DEST
# bs=32768 count=1 conv=notrunc" for files, and "cat SOURCE | cat > DEST"
# followed by the same dd for pipes. Needs hyperfine, /usr/bin/time and
# python3 (Debian: hyperfine, time). As root it also mounts a loop XFS image
# with reflink (Debian: xfsprogs) and times a sparse image from a cold cache,
# then a sparse source on NTFS through ntfs-3g (ntfs-3g), a destination only
# in an overlay's lower layer with an ext4 upper one (e2fsprogs), and a loop
# block device as the source.
# BENCH_DIR picks the disk to work on (default /var/tmp); ROUNDS sets how many
# paired hyperfine rounds each case gets (default 5).
set -euo pipefail

tool=$(realpath "${1:-build/release/talvor}")
rounds=${ROUNDS:-5}
work=$(mktemp -d "${BENCH_DIR:-/var/tmp}/talvor-bench.XXXXXX")
mnt="$work/xfs"
loop=

cleanup() {
    [ -z "$loop" ] || losetup -d "$loop"
    local m
    for m in "$work/overlay" "$work/upper" "$work/ntfs" "$mnt"; do
        mountpoint -q "$m" 2>/dev/null && umount "$m"
    done
    rm -rf "$work"
}
trap cleanup EXIT

for need in hyperfine /usr/bin/time python3; do
    command -v "$need" >/dev/null || { echo "bench: $need is missing" >&2; exit 1; }
done

# Median of each command over one hyperfine run, in ms: "first second".
medians() {
    local runs=$1 prepare=$2 json=$work/h.json
    shift 2
    hyperfine -N --style none --warmup 2 --runs "$runs" --prepare "$prepare" \
        --export-json "$json" "$@" >/dev/null 2>&1
    python3 -c 'import json,sys; r=json.load(open(sys.argv[1]))["results"]; print(" ".join("%.3f" % (x["median"]*1000) for x in r))' "$json"
}

# Rounds of hyperfine, each timing both commands, in alternating order so
# that neither always runs first; prints the medians and the median ratio
# talvor/reference with the rounds' min-max, so noise shows.
# Once more outside the timing, the outputs must be the same bytes.
#   compare LABEL RUNS PREPARE TALVOR REFERENCE
compare() {
    local label=$1 runs=$2 prepare=$3 ours=$4 theirs=$5 lines=() i
    for ((i = 0; i < rounds; i++)); do
        if ((i % 2 == 0)); then
            lines+=("$(medians "$runs" "$prepare" "$ours" "$theirs")")
        else
            lines+=("$(medians "$runs" "$prepare" "$theirs" "$ours" | awk '{ print $2, $1 }')")
        fi
    done
    printf '%s\n' "${lines[@]}" | python3 -c '
import sys, statistics
label = sys.argv[1]
pairs = [tuple(map(float, l.split())) for l in sys.stdin if l.strip()]
r = [a / b for a, b in pairs]
t = [a for a, _ in pairs]
c = [b for _, b in pairs]
print(f"{label}: talvor {statistics.median(t):.2f} ms ({min(t):.2f}-{max(t):.2f}), "
      f"reference {statistics.median(c):.2f} ms ({min(c):.2f}-{max(c):.2f}), "
      f"ratio {statistics.median(r):.3f} ({min(r):.3f}-{max(r):.3f})")' "$label"
    sh -c "$prepare" && sh -c "$ours" >/dev/null && sh -c "$theirs" && cmp o r
}

peak_kib() {
    /usr/bin/time -f %M "$tool" "$1" "$2" 2>&1 >/dev/null | tail -1
}

on_disk_kib() {
    du -k "$1" | cut -f1
}

# "cp && dd" and "cat | cat && dd" as one shell command each.
copy_then_dd() {
    echo "sh -c 'cp --reflink=auto $1 $2 && dd if=IP.BIN of=$2 bs=32768 count=1 conv=notrunc status=none'"
}
cat_then_dd() {
    echo "sh -c 'cat $1 | cat > $2 && dd if=IP.BIN of=$2 bs=32768 count=1 conv=notrunc status=none'"
}

cd "$work"
head -c 32768 /dev/urandom >IP.BIN
head -c 1M /dev/urandom >src1m
head -c 512M /dev/urandom >src512m
# 5 GiB with 1 MiB of data at the start and 4 KiB at the end.
head -c 1M /dev/urandom >sparse
truncate -s $((5 * 1024 * 1024 * 1024 - 4096)) sparse
head -c 4096 /dev/urandom >>sparse
# Let the new sources reach the disk before anything is timed.
sync

echo "== $(findmnt -no FSTYPE -T "$work") under $work"
# What starting any process costs here: no case can be faster.
hyperfine -N --style none --warmup 5 --runs 100 --export-json "$work/h.json" /bin/true >/dev/null 2>&1
python3 -c 'import json,sys; r=json.load(open(sys.argv[1]))["results"][0]; print("floor: /bin/true %.2f ms" % (r["median"]*1000))' "$work/h.json"
compare "1 MiB, new DEST" 100 "rm -f o r" "$tool src1m o" "$(copy_then_dd src1m r)"
compare "512 MiB, new DEST" 5 "rm -f o r" "$tool src512m o" "$(copy_then_dd src512m r)"
compare "512 MiB over the old DEST" 5 "true" "$tool src512m o" "$(copy_then_dd src512m r)"
compare "512 MiB from a pipe, new DEST" 5 "rm -f o r" "sh -c 'cat src512m | $tool /dev/stdin o'" \
    "$(cat_then_dd src512m r)"
compare "5 GiB sparse, new DEST" 5 "rm -f o r" "$tool sparse o" "$(copy_then_dd sparse r)"
echo "5 GiB sparse on disk: source $(on_disk_kib sparse) KiB, talvor's $(on_disk_kib o) KiB, reference's $(on_disk_kib r) KiB"
if [ "$(id -u)" -eq 0 ]; then
    compare "5 GiB sparse, new DEST, cold cache" 3 "rm -f o r; sync; echo 3 >/proc/sys/vm/drop_caches" \
        "$tool sparse o" "$(copy_then_dd sparse r)"
fi

echo "== peak memory (maximum resident set, KiB)"
rm -f o
echo "1 MiB $(peak_kib src1m o), 512 MiB new $(peak_kib src512m p), 512 MiB over the old $(peak_kib src512m p), 5 GiB sparse $(peak_kib sparse q)"
echo "from a pipe, 512 MiB: $(cat src512m | /usr/bin/time -f %M "$tool" /dev/stdin p 2>&1 >/dev/null | tail -1)"
rm -f o p q r

if [ "$(id -u)" -eq 0 ] && command -v mkfs.xfs >/dev/null; then
    echo "== loop-mounted XFS with reflink, 2 GiB source"
    truncate -s 6G "$work/xfs.img"
    mkfs.xfs -q -m reflink=1 "$work/xfs.img"
    mkdir "$mnt"
    mount -o loop "$work/xfs.img" "$mnt"
    cp IP.BIN "$mnt/"
    head -c 2G /dev/urandom >"$mnt/src2g"
    sync
    cd "$mnt"
    compare "2 GiB on XFS, new DEST" 20 "rm -f o r" "$tool src2g o" "$(copy_then_dd src2g r)"
    echo "extents of DEST: $(filefrag -v o | grep -c shared) shared of $(filefrag o | grep -o '[0-9]* extents\?')"
    echo "peak memory, 2 GiB: $(peak_kib src2g p) KiB"
    cd "$work"
else
    echo "== XFS case skipped: needs root and xfsprogs"
fi

if [ "$(id -u)" -ne 0 ]; then
    echo "== NTFS, overlay and block device cases skipped: they need root"
    exit 0
fi

if command -v ntfs-3g >/dev/null && command -v mkfs.ntfs >/dev/null; then
    echo "== NTFS through ntfs-3g, which reports no hole: 1 GiB sparse source with 1 MiB of data"
    truncate -s 4G "$work/ntfs.img"
    mkfs.ntfs -q -F -f "$work/ntfs.img" >/dev/null 2>&1
    mkdir "$work/ntfs"
    ntfs-3g "$work/ntfs.img" "$work/ntfs"
    cp IP.BIN "$work/ntfs/"
    head -c 1M /dev/urandom >"$work/ntfs/sparse"
    truncate -s 1G "$work/ntfs/sparse"
    sync
    cd "$work/ntfs"
    compare "1 GiB sparse on ntfs-3g, new DEST" 3 "rm -f o r" "$tool sparse o" \
        "$(copy_then_dd sparse r)"
    echo "on disk: source $(on_disk_kib sparse) KiB, talvor's $(on_disk_kib o) KiB, reference's $(on_disk_kib r) KiB"
    rm -f o r
    cd "$work"
    umount "$work/ntfs"
else
    echo "== NTFS case skipped: needs ntfs-3g"
fi

if command -v mkfs.ext4 >/dev/null && grep -qw overlay /proc/filesystems; then
    echo "== overlay, ext4 upper layer: 80 MiB destination only in the lower layer"
    mkdir -p "$work/lower" "$work/upper" "$work/overlay" "$work/ovl-run"
    head -c 80M /dev/urandom >"$work/lower/src"
    cp "$work/lower/src" "$work/lower/o"
    cp "$work/lower/src" "$work/lower/r"
    truncate -s 1G "$work/upper.img"
    mkfs.ext4 -q "$work/upper.img"
    mount -o loop "$work/upper.img" "$work/upper"
    cp IP.BIN "$work/ovl-run/"
    ln -s "$work/overlay/o" "$work/ovl-run/o"
    ln -s "$work/overlay/r" "$work/ovl-run/r"
    ovl_opts="lowerdir=$work/lower,upperdir=$work/upper/u,workdir=$work/upper/w"
    # Every run starts from an empty upper layer, so both destinations are
    # lower-only again.
    fresh="sh -c 'mountpoint -q $work/overlay && umount $work/overlay; rm -rf $work/upper/u $work/upper/w; mkdir $work/upper/u $work/upper/w; mount -t overlay overlay -o $ovl_opts $work/overlay'"
    sh -c "$fresh"
    sync
    cd "$work/ovl-run"
    compare "80 MiB over a lower-only DEST on overlay" 10 "$fresh" "$tool $work/overlay/src o" \
        "$(copy_then_dd "$work/overlay/src" r)"
    cd "$work"
    umount "$work/overlay"
    umount "$work/upper"
else
    echo "== overlay case skipped: needs mkfs.ext4 and overlayfs"
fi

if loop=$(losetup -f --show "$work/src512m" 2>/dev/null); then
    echo "== 512 MiB from a loop block device"
    compare "512 MiB from $loop, new DEST" 5 "rm -f o r" "$tool $loop o" "$(copy_then_dd "$loop" r)"
    rm -f o r
else
    loop=
    echo "== block device case skipped: no loop device can be attached"
fi
