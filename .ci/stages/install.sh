#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# shellcheck source=.ci/lib.sh
. "$(dirname "$0")/../lib.sh"
# 32-bit Wine comes from the i386 architecture.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
fi
# What every stage needs. g++-multilib cannot be installed beside the ARM
# cross compilers: i386 is cross-built too.
install g++ cmake ninja-build googletest libgtest-dev clang-tidy cppcheck strace xfsprogs \
    e2fsprogs bsdutils groff-base g++-i686-linux-gnu g++-aarch64-linux-gnu \
    g++-arm-linux-gnueabihf qemu-user-static g++-mingw-w64-x86-64 \
    g++-mingw-w64-i686 wine64 wine man-db dpkg-dev file zip unzip btrfs-progs ntfs-3g \
    fuse3 libfuse3-dev pkg-config mount lintian python3-pefile
# What only 32-bit x86 needs: Wine for the wine32 stage, and libstdc++6:i386
# for the dynamic i386 tool where the kernel runs 32-bit programs itself.
install_group i386 i386 wine32:i386 libstdc++6:i386
