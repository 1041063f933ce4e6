#!/bin/sh
# SPDX-License-Identifier: MIT
# Prints CHANGELOG.md ($1) as a Debian changelog signed by $2. Each version
# is dated by the commit that first set it in CMakeLists.txt, or, until that
# commit is made, by SOURCE_DATE_EPOCH (else now): lintian wants every entry
# newer than the one before.
set -eu
changelog=$1
maintainer=$2
top=$(dirname "$changelog")

date_of() {
    epoch=$(git -C "$top" log --reverse --format=%ct -S"VERSION $1 " -- CMakeLists.txt \
        2>/dev/null | head -n 1) || epoch=
    [ -n "$epoch" ] || epoch=${SOURCE_DATE_EPOCH:-$(date +%s)}
    LC_ALL=C date -u -d "@$epoch" '+%a, %d %b %Y %H:%M:%S +0000'
}

for version in $(sed -n 's/^## //p' "$changelog"); do
    printf 'talvor (%s) unstable; urgency=medium\n\n' "$version"
    awk -v want="## $version" '/^## / { inside = ($0 == want); next }
        !inside || /^$/ { next }
        /^- / { print "  * " substr($0, 3); next }
        { sub(/^ */, ""); print "    " $0 }' "$changelog"
    printf '\n -- %s  %s\n\n' "$maintainer" "$(date_of "$version")"
done
