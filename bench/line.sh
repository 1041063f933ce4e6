#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Times the progress line of a run onto a block device as slow as a USB
# stick (a loop device throttled by cgroup v1's blkio): when the first line
# shows, the longest the line stands still, and how long the run takes to
# end after Ctrl-C. The tests check what the line says, never when; these
# are the figures, for people. A loaded machine lengthens them all.
#
#   bench/line.sh [path/to/talvor]      (default: build/release/talvor)
#
# RATE_MIB sets the device's speed in MiB/s (default 2), INTERRUPT_S when
# Ctrl-C comes (default 4), ROUNDS the runs (default 3). Needs root, cgroup
# v1's blkio controller, losetup and python3.
set -euo pipefail

tool=$(realpath "${1:-build/release/talvor}")
rate=${RATE_MIB:-2}
interrupt=${INTERRUPT_S:-4}
rounds=${ROUNDS:-3}
blkio=/sys/fs/cgroup/blkio

skip() {
    echo "== line case skipped: $1"
    exit 0
}
[ "$(id -u)" -eq 0 ] || skip "needs root"
[ -e "$blkio/blkio.throttle.write_bps_device" ] || skip "no cgroup v1 blkio controller with throttling at $blkio"
command -v python3 >/dev/null || skip "needs python3"

work=$(mktemp -d "${BENCH_DIR:-/var/tmp}/talvor-line.XXXXXX")
group=$blkio/talvor-line-$$
loop=
cleanup() {
    [ -z "$loop" ] || losetup -d "$loop"
    [ ! -d "$group" ] || rmdir "$group"
    rm -rf "$work"
}
trap cleanup EXIT

cd "$work"
truncate -s 64M disk
loop=$(losetup -f --show disk 2>/dev/null) || { loop=; skip "no loop device can be attached"; }
mkdir "$group"
echo "$(lsblk -dno MAJ:MIN "$loop" | tr -d ' ') $((rate * 1024 * 1024))" >"$group/blkio.throttle.write_bps_device"
head -c 32768 /dev/urandom >IP.BIN
head -c 48M /dev/urandom >src

# One run in the group, standard error on a pseudo-terminal that is its
# controlling terminal, Ctrl-C at INTERRUPT_S: prints "first gap stop" in
# seconds (first line, longest gap between draws, Ctrl-C to the end).
measure() {
    (echo "$BASHPID" >"$group/cgroup.procs" && exec python3 - "$interrupt" "$@") <<'PY'
import fcntl, os, select, signal, subprocess, sys, termios, time

def controlling(fd):
    def attach():
        os.setsid()
        fcntl.ioctl(fd, termios.TIOCSCTTY, 0)
    return attach

interrupt = float(sys.argv[1])
master, slave = os.openpty()
start = time.monotonic()
child = subprocess.Popen(sys.argv[2:], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                         stderr=slave, preexec_fn=controlling(slave))
os.close(slave)
draws, sent = [], None
while child.poll() is None:
    now = time.monotonic()
    if sent is None and now - start >= interrupt:
        child.send_signal(signal.SIGINT)
        sent = now
    ready, _, _ = select.select([master], [], [], 0.01)
    if ready:
        try:
            chunk = os.read(master, 4096)
        except OSError:
            chunk = b""
        draws += [time.monotonic() - start] * chunk.count(b"\r")
end = time.monotonic()
gaps = [b - a for a, b in zip(draws, draws[1:]) if b < (sent or end) - start]
print("%.2f %.2f %.2f" % (draws[0] if draws else -1, max(gaps) if gaps else -1,
                          end - sent if sent else -1))
PY
}

echo "== 48 MiB onto $loop at ${rate} MiB/s, Ctrl-C at ${interrupt} s, $rounds rounds, medians"
runs=()
for ((i = 0; i < rounds; i++)); do
    runs+=("$(measure "$tool" src "$loop")")
done
python3 - "${runs[@]}" <<'PY'
import statistics, sys
rows = [list(map(float, r.split())) for r in sys.argv[1:]]
first, gap, stop = (statistics.median(c) for c in zip(*rows))
print("first line after %.2f s, longest still %.2f s, Ctrl-C to the end %.2f s" % (first, gap, stop))
PY
