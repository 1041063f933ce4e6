#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# shellcheck source=.ci/lib.sh
. "$(dirname "$0")/../lib.sh"
! not_given i386 wine32 || exit 0
cmake --workflow --preset windows32
file build/windows32/talvor.exe | grep -q 'PE32 executable (console) Intel 80386'
# A Wine prefix made before wine32 was installed breaks: each suite gets its own.
prefix=$PWD/build/wine32-tests/wineprefix
rm -rf "$prefix" && mkdir -p "$(dirname "$prefix")"
WINEPREFIX=$prefix QEMU_RESERVED_VA=0xf7000000 wine wineboot -i >/dev/null 2>&1
cmake --preset wine32-tests >/dev/null
cmake --build --preset wine32-tests
if ! i386_emulated; then
    run_suite "${windows_skips[@]}" -p '^Package\.WindowsVersionResource$' -- \
        ctest --preset wine32-tests -j2
else
    # Each start of 32-bit Wine under qemu takes most of a minute: the cases
    # that tell this build apart (names, 64-bit offsets, in-place rewrite, a
    # Ctrl-C handled on its own thread) run. A run on a console is left to
    # the 64-bit suite: its progress line has a thread of its own, and most
    # 32-bit processes here that start a thread and then exit crash, hang or
    # end with 0, whatever the thread does, a ten-line program as well; none
    # without one did. Wine's own Ctrl-C thread meets the same emulator now
    # and then: a case that fails here is run once more before it counts.
    echo "CI: 32-bit Wine is emulated here; running the x86 cases that matter most"
    run_suite -p '^Package\.WindowsVersionResource$' -p '^Stop\.ConsoleControlEventCutsBack$' -- \
        ctest --preset wine32-tests -j2 --repeat until-pass:2 \
        -R '^Names\.|FiveGiB|^InPlace\.Old|^Stop\.Console|^Package\.' \
        -E '^Names\.ShownAsThemselvesOnATerminal$'
fi
