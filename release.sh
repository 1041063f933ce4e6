#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Makes every file of a release of this commit in build/release-archives: a
# static tar.gz per Linux processor, the two Windows ZIPs, a .deb per Linux
# processor and SHA256SUMS. Two runs from the same commit, wherever the tree
# lies, give the same bytes.
#
#   ./release.sh                every file
#   ./release.sh ARCH...        only those of each ARCH: x86_64, i386, arm64,
#                               armhf (a tar.gz and a .deb), win64, win32 (a ZIP)
#
# Needs: cmake, ninja-build, groff-base, git; for x86_64 g++ and dpkg-dev;
# for i386, arm64, armhf g++-i686-linux-gnu, g++-aarch64-linux-gnu,
# g++-arm-linux-gnueabihf and dpkg-dev; for win64, win32
# g++-mingw-w64-x86-64, g++-mingw-w64-i686 and zip.
set -euo pipefail
cd "$(dirname "$0")"

# Every date in the files is the commit's, unless the caller pins another.
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
export SOURCE_DATE_EPOCH
# ZIP stores local times, and sorting follows the locale.
export TZ=UTC LC_ALL=C
umask 022

linux_arches=(x86_64 i386 arm64 armhf)
windows_presets=(windows windows32)
if [ $# -gt 0 ]; then
    linux_arches=()
    windows_presets=()
    for arch; do
        case $arch in
        x86_64 | i386 | arm64 | armhf) linux_arches+=("$arch") ;;
        win64) windows_presets+=(windows) ;;
        win32) windows_presets+=(windows32) ;;
        *)
            echo "release: no such ARCH: $arch (x86_64, i386, arm64, armhf, win64, win32)" >&2
            exit 2
            ;;
        esac
    done
fi
presets=("${linux_arches[@]/#/linux-}" "${windows_presets[@]}")

for preset in "${presets[@]}"; do
    echo "== building $preset"
    # A fresh cache, so that nothing configured by hand ends up in a release.
    cmake --workflow --preset "$preset" --fresh >/dev/null
done
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "build/${presets[0]}/CMakeCache.txt")
[ -n "$version" ] || { echo "release: no version in build/${presets[0]}" >&2; exit 1; }

out=build/release-archives
stage=$PWD/build/release-stage
rm -rf "$out" "$stage"
mkdir -p "$out" "$stage"
out=$PWD/$out

# Puts the files into $stage/$1 with fixed modes and dates: the first is the
# program.
stage_dir() {
    local dir=$stage/$1
    mkdir -p "$dir"
    install -m 755 "$2" "$dir/"
    install -m 644 "${@:3}" "$dir/"
    touch -d "@$SOURCE_DATE_EPOCH" "$dir" "$dir"/*
}

for arch in "${linux_arches[@]}"; do
    name=talvor-$version-linux-$arch
    stage_dir "$name" build/linux-$arch/talvor README.md CHANGELOG.md LICENSE man/talvor.1
    tar -C "$stage" --sort=name --format=gnu --mtime="@$SOURCE_DATE_EPOCH" \
        --owner=0 --group=0 --numeric-owner -cf - "$name" | gzip -9n >"$out/$name.tar.gz"
    cpack --config build/linux-$arch/CPackConfig.cmake -G DEB -B "$stage/deb-$arch" >/dev/null
    cp "$stage/deb-$arch"/talvor_*.deb "$out/"
done

for preset in "${windows_presets[@]}"; do
    system=$(sed -n 's/^set(CPACK_SYSTEM_NAME "\(.*\)")$/\1/p' build/$preset/CPackConfig.cmake)
    name=talvor-$version-$system
    stage_dir "$name" build/$preset/talvor.exe README.md CHANGELOG.md LICENSE build/$preset/talvor.txt
    # -X leaves out owners and the extra time fields; the list fixes the order.
    (cd "$stage" && zip -q -X -D "$out/$name.zip" "$name"/talvor.exe "$name"/README.md \
        "$name"/CHANGELOG.md "$name"/LICENSE "$name"/talvor.txt)
done

# A release of some ARCHes alone lacks the other kinds of file.
(cd "$out" && shopt -s nullglob && sha256sum -- *.tar.gz *.zip *.deb >SHA256SUMS)
rm -rf "$stage"
echo "== $out"
(cd "$out" && ls -l && sha256sum -c --quiet SHA256SUMS)
