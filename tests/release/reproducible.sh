#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# SOURCE: a user rebuilding the same commit elsewhere must get the same bytes
# as SOURCE/build/release-archives.
set -euo pipefail
cd "$1"
if ! git diff --quiet HEAD; then
    echo "the tree has uncommitted changes; not comparing with a release of the commit"
    exit 77
fi
again=$(mktemp -d)
trap 'rm -rf "$again"' EXIT
git clone -q . "$again/talvor"
"$again/talvor/release.sh" >/dev/null
diff build/release-archives/SHA256SUMS "$again/talvor/build/release-archives/SHA256SUMS"
echo "a second release from another directory is identical"
