#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# shellcheck source=.ci/lib.sh
. "$(dirname "$0")/../lib.sh"
# One build of the tests per kind of tool: only the tool's path changes
# between processors, so each reconfigure rebuilds a file or two.
for arch in "${linux_arches[@]}"; do
    echo "== tests against the static linux-$arch tool"
    started=$SECONDS
    cmake --preset linux-tests -DTALVOR_TEST_COMMAND="$PWD/build/linux-$arch/talvor" >/dev/null
    cmake --build --preset linux-tests
    # The fault points, the traced device pushes, the traced line thread and
    # stop, the throttled device, and the cases that watch the tool's calls
    # ran against this code in the release and sanitize suites; a foreign
    # tool's calls are its emulator's, or numbered as on its own processor;
    # qemu-user answers no Btrfs FS_INFO on some, so the walk cannot follow.
    run_suite "${static_skips[@]}" -- ctest --preset linux-tests -j2 \
        -E '^(Scenarios/FaultPoint|DeviceWriteBehind|DeviceFlush|ThrottledDevice|LineThread)\.|^Stop\.StopWhileTheMessageWaits|^Concurrency\.(RunsTakeTurns|RunStoppedWhileWaiting)|^HostFailure\.DestThatCannotBeCutBack|/BtrfsSecondMemberUnderTheSource'
    echo "CI: linux-$arch suite took $((SECONDS - started)) s"
    # x86-64's dynamic build is the release preset's, which ran them all.
    [ "$arch" != x86_64 ] || continue
    # Where the kernel runs 32-bit x86 itself, the dynamic tool needs i386 libraries.
    if [ "$arch" = i386 ] && ! i386_emulated && not_given i386 "linux-suites (dynamic i386)"; then
        continue
    fi
    echo "== preloading cases against the dynamic linux-$arch tool"
    started=$SECONDS
    dynamic=$PWD/build/linux-$arch-shared
    cmake --preset linux-shared --toolchain "$PWD/cmake/linux-$arch.cmake" -B "$dynamic" >/dev/null
    cmake --build "$dynamic"
    cmake --preset linux-shared-tests -DTALVOR_TEST_COMMAND="$dynamic/talvor" \
        -DTALVOR_TEST_SHIM_DIR="$dynamic" >/dev/null
    cmake --build --preset linux-shared-tests
    QEMU_LD_PREFIX=/usr/${linux_triple[$arch]} run_suite -- ctest --preset linux-shared-tests -j2
    echo "CI: linux-$arch-shared suite took $((SECONDS - started)) s"
done
