#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# ARCHIVES NAME DEB DEB_ARCH TESTED: NAME.tar.gz and DEB hold what a user
# needs, and the tar.gz the very talvor whose sha256sum CI kept in TESTED.
set -euo pipefail
archives=$1 name=$2 deb=$3 deb_arch=$4 tested=$5
listing=$(tar tzf "$archives/$name.tar.gz")
echo "$name.tar.gz:" $listing
for f in talvor README.md CHANGELOG.md LICENSE talvor.1; do
    grep -qx "$name/$f" <<<"$listing" || { echo "$f missing from $name.tar.gz" >&2; exit 1; }
done
[ "$(tar xzOf "$archives/$name.tar.gz" "$name/talvor" | sha256sum)" = "$(cat "$tested")" ] ||
    { echo "$name.tar.gz holds another talvor than the one tested" >&2; exit 1; }
[ "$(dpkg-deb -f "$archives/$deb" Architecture)" = "$deb_arch" ]
# Listed whole first: grep -q stopping early would break dpkg-deb's pipe.
contents=$(dpkg-deb -c "$archives/$deb")
echo "$contents"
grep -q ' \./usr/bin/talvor$' <<<"$contents"
grep -q ' \./usr/share/man/man1/talvor\.1\.gz$' <<<"$contents"
grep -q ' \./usr/share/doc/talvor/copyright$' <<<"$contents"
