#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Two runs onto a loop device as slow as a USB stick (cgroup v1's
# blkio.throttle.write_bps_device, as in bench/device.sh):
#  - SOURCE longer than the device: how long the refusal takes, and whether
#    the device's bytes changed;
#  - Ctrl-C while the device stalls: the time from the stop to the progress
#    line's change, and from the device moving again to the end.
# A measurement for people, not a test.
#
#   bench/stick.sh [path/to/talvor]      (default: build/release/talvor)
#
# RATE_MIB sets the device's speed in MiB/s (default 4). Needs root, cgroup
# v1's blkio controller, losetup and python3.
set -euo pipefail

tool=$(realpath "${1:-build/release/talvor}")
rate=$((${RATE_MIB:-4} * 1024 * 1024))
blkio=/sys/fs/cgroup/blkio

skip() {
    echo "== stick cases skipped: $1"
    exit 0
}
[ "$(id -u)" -eq 0 ] || skip "needs root"
[ -e "$blkio/blkio.throttle.write_bps_device" ] || skip "no cgroup v1 blkio controller with throttling at $blkio"
command -v python3 >/dev/null || skip "needs python3"

work=$(mktemp -d "${BENCH_DIR:-/var/tmp}/talvor-stick.XXXXXX")
backing=/dev/shm/talvor-stick-$$
group=$blkio/talvor-stick-$$
loop=
cleanup() {
    [ -z "$loop" ] || losetup -d "$loop"
    [ ! -d "$group" ] || rmdir "$group"
    rm -rf "$work" "$backing"
}
trap cleanup EXIT

truncate -s 64M "$backing"
loop=$(losetup -f --show "$backing" 2>/dev/null) || { loop=; skip "no loop device can be attached"; }
mkdir "$group"
number=$(lsblk -dno MAJ:MIN "$loop" | tr -d ' ')
throttle() { echo "$number $1" >"$group/blkio.throttle.write_bps_device"; }
throttle "$rate"
cd "$work"
head -c 32768 /dev/urandom >IP.BIN
head -c 80M /dev/urandom >long.img
head -c 48M /dev/urandom >image
head -c 64M /dev/urandom >"$loop"
sync

echo "== a source of 80 MiB onto $loop, 64 MiB at $((rate / 1024 / 1024)) MiB/s"
before=$(md5sum <"$loop")
start=$(date +%s.%N)
status=0
(echo "$BASHPID" >"$group/cgroup.procs" && exec "$tool" long.img "$loop") >/dev/null 2>&1 || status=$?
end=$(date +%s.%N)
after=$(md5sum <"$loop")
echo "status $status, $(python3 -c "print('%.2f' % ($end - $start))") s," \
    "device $([ "$before" = "$after" ] && echo unchanged || echo changed)"

echo "== Ctrl-C 2 s into a stall of a 48 MiB copy; the device moves again 6 s later"
(echo "$BASHPID" >"$group/cgroup.procs" && exec python3 - "$tool" image "$loop") <<PY
import fcntl, os, re, select, signal, subprocess, sys, termios, time

def throttle(rate):
    with open("$group/blkio.throttle.write_bps_device", "w") as limit:
        limit.write("$number %d" % rate)

def controlling(fd):
    def attach():
        os.setsid()
        fcntl.ioctl(fd, termios.TIOCSCTTY, 0)
    return attach

master, slave = os.openpty()
fcntl.ioctl(slave, termios.TIOCSWINSZ, b"\x18\x00\xc8\x00\x00\x00\x00\x00")
child = subprocess.Popen(sys.argv[1:], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                         stderr=slave, preexec_fn=controlling(slave))
os.close(slave)
start = time.monotonic()
stall = stop = moved = changed = None
last = b""
screen = b""
while child.poll() is None:
    now = time.monotonic()
    if stall is None and b"%" in screen:
        stall = now + 2
        throttle(4096)
    elif stall is not None and stop is None and now >= stall + 2:
        stop = now
        child.send_signal(signal.SIGINT)
        last = screen.split(b"\r")[-2] if b"\r" in screen else b""
    elif stop is not None and moved is None and now >= stop + 6:
        moved = now
        throttle($rate)
    ready, _, _ = select.select([master], [], [], 0.02)
    if ready:
        try:
            screen += os.read(master, 4096)
        except OSError:
            pass
        lines = [l for l in screen.split(b"\r") if l.strip()]
        if stop is not None and changed is None and b"arret" in (lines[-1] if lines else b""):
            changed = time.monotonic()
end = time.monotonic()
lines = [l.strip().decode() for l in screen.split(b"\r") if l.strip()]
print("status %d; line changed %s after the stop; ended %.2f s after the device moved again"
      % (128 - child.returncode if child.returncode < 0 else child.returncode,
         "%.2f s" % (changed - stop) if changed else "never",
         end - moved if moved else -(stop and end - stop or 0)))
print("last line: %s" % (lines[-1] if lines else "none"))
PY
