#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Writes an image onto a block device as slow as a USB stick: a loop device
# throttled by cgroup v1's blkio.throttle.write_bps_device. Compares talvor
# with "dd bs=1M conv=fsync" onto the same device: the wall time, the peak of
# Dirty: in /proc/meminfo above what it was before the run (and of Dirty plus
# Writeback, the pages on their way to the device), and for talvor
# the time from when its progress line first shows 99% or more to the end.
# talvor runs with standard error on a pseudo-terminal of its own, so that the
# line shows; dd has none. A measurement for people, not a test.
#
#   bench/device.sh [path/to/talvor]      (default: build/release/talvor)
#
# SIZE_MIB sets the image's size (default 96), RATE_MIB the device's speed in
# MiB/s (default 20), ROUNDS the runs of each command (default 3). Needs root,
# cgroup v1's blkio controller, losetup and python3. The loop device's backing
# file is on /dev/shm, whose pages never count as Dirty: what is measured is
# the device's own. Other programs writing meanwhile add to Dirty too.
set -euo pipefail

tool=$(realpath "${1:-build/release/talvor}")
size=${SIZE_MIB:-96}
rate=${RATE_MIB:-20}
rounds=${ROUNDS:-3}
blkio=/sys/fs/cgroup/blkio

skip() {
    echo "== device case skipped: $1"
    exit 0
}
[ "$(id -u)" -eq 0 ] || skip "needs root"
[ -e "$blkio/blkio.throttle.write_bps_device" ] || skip "no cgroup v1 blkio controller with throttling at $blkio"
command -v python3 >/dev/null || skip "needs python3"

work=$(mktemp -d "${BENCH_DIR:-/var/tmp}/talvor-device.XXXXXX")
backing=/dev/shm/talvor-device-$$
group=$blkio/talvor-bench-$$
loop=
cleanup() {
    [ -z "$loop" ] || losetup -d "$loop"
    [ ! -d "$group" ] || rmdir "$group"
    rm -rf "$work" "$backing"
}
trap cleanup EXIT

truncate -s $((size + 64))M "$backing"
loop=$(losetup -f --show "$backing" 2>/dev/null) || { loop=; skip "no loop device can be attached"; }
mkdir "$group"
echo "$(lsblk -dno MAJ:MIN "$loop" | tr -d ' ') $((rate * 1024 * 1024))" >"$group/blkio.throttle.write_bps_device"
cd "$work"
head -c 32768 /dev/urandom >IP.BIN
head -c "${size}M" /dev/urandom >image
sync

# Runs a command in the throttled group, standard error on a pseudo-terminal
# that is its controlling terminal, and prints "wall dirty held tail": the
# peaks of Dirty and of Dirty+Writeback above their baselines in KiB (pages
# being written out leave Dirty but still hold memory), and the time from
# the first line that shows 99% or more to the end, or -1.
measure() {
    (echo "$BASHPID" >"$group/cgroup.procs" && exec python3 - "$@") <<'PY'
import fcntl, os, re, select, subprocess, sys, termios, time

def dirty_kib():
    fields = {}
    with open("/proc/meminfo") as info:
        for line in info:
            name, value = line.split(":")
            fields[name] = int(value.split()[0])
    return fields["Dirty"], fields["Dirty"] + fields["Writeback"]

def controlling(fd):
    def attach():
        os.setsid()
        fcntl.ioctl(fd, termios.TIOCSCTTY, 0)
    return attach

master, slave = os.openpty()
baseline = dirty_kib()
peak = baseline
start = time.monotonic()
child = subprocess.Popen(sys.argv[1:], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                         stderr=slave, preexec_fn=controlling(slave))
os.close(slave)
seen, first99 = b"", None
while True:
    ready, _, _ = select.select([master], [], [], 0.02)
    peak = tuple(map(max, peak, dirty_kib()))
    if ready:
        try:
            chunk = os.read(master, 4096)
        except OSError:
            chunk = b""
        if not chunk:
            break
        seen += chunk
        if first99 is None and any(int(p) >= 99 for p in re.findall(rb"\((\d+)%\)", seen)):
            first99 = time.monotonic()
    elif child.poll() is not None:
        break
child.wait()
end = time.monotonic()
if child.returncode != 0:
    sys.exit("bench: %s ended with %d" % (sys.argv[1], child.returncode))
print("%.2f %d %d %.2f" % (end - start, peak[0] - baseline[0], peak[1] - baseline[1],
                          end - first99 if first99 else -1))
PY
}

echo "== ${size} MiB onto $loop at ${rate} MiB/s, $rounds rounds, medians"
ours=()
theirs=()
for ((i = 0; i < rounds; i++)); do
    ours+=("$(measure "$tool" image "$loop")")
    sync
    theirs+=("$(measure dd if=image of="$loop" bs=1M conv=fsync status=none)")
    sync
done
python3 - "${ours[@]}" -- "${theirs[@]}" <<'PY'
import statistics, sys
args = sys.argv[1:]
cut = args.index("--")
for label, runs in (("talvor", args[:cut]), ("dd bs=1M conv=fsync", args[cut + 1:])):
    rows = [list(map(float, r.split())) for r in runs]
    wall, dirty, held, tail = (statistics.median(c) for c in zip(*rows))
    tail_text = "%.2f s" % tail if tail >= 0 else "no line"
    print("%s: wall %.2f s, peak above baseline: Dirty +%.1f MiB, Dirty+Writeback +%.1f MiB; "
          "from 99%% to the end %s" % (label, wall, dirty / 1024, held / 1024, tail_text))
PY
