#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# ARCHIVES NAME: NAME.zip holds the program, the README, the changes and the
# manual as text.
set -euo pipefail
archives=$1 name=$2
listing=$(unzip -Z1 "$archives/$name.zip")
echo "$name.zip:" $listing
for f in talvor.exe README.md CHANGELOG.md LICENSE talvor.txt; do
    grep -qx "$name/$f" <<<"$listing" || { echo "$f missing from $name.zip" >&2; exit 1; }
done
