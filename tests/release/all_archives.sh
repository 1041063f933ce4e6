#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# ARCHIVES VERSION ARCH...: SHA256SUMS matches, and ARCHIVES holds exactly a
# tar.gz and a .deb per Linux ARCH, the two ZIPs and SHA256SUMS.
set -euo pipefail
archives=$1 version=$2
shift 2
declare -A deb_arch=([x86_64]=amd64 [i386]=i386 [arm64]=arm64 [armhf]=armhf)
(cd "$archives" && sha256sum -c SHA256SUMS)
expected=(SHA256SUMS "talvor-$version-win64.zip" "talvor-$version-win32.zip")
for arch in "$@"; do
    expected+=("talvor-$version-linux-$arch.tar.gz" "talvor_${version}_${deb_arch[$arch]}.deb")
done
[ "$(ls "$archives" | sort)" = "$(printf '%s\n' "${expected[@]}" | sort)" ] ||
    { echo "unexpected files in $archives:" $(ls "$archives") >&2; exit 1; }
