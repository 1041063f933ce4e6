#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# TOOL EXAMPLES: the static TOOL does the README's example in a root that
# holds nothing but itself and its files: no loader, no library, no /proc.
set -euo pipefail
tool=$1 examples=$2
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
cp "$tool" "$examples/IP.BIN" "$examples/image.img" "$root/"
out=$(unshare -m chroot "$root" /talvor image.img patched.img)
echo "$out"
grep -q 'insere avec succes' <<<"$out" || { echo "$tool: no report in an empty root" >&2; exit 1; }
cmp -n 2048 "$examples/IP.BIN" "$root/patched.img"
cmp -i 2048 "$examples/image.img" "$root/patched.img"
