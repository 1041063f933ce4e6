#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# shellcheck source=.ci/lib.sh
. "$(dirname "$0")/../lib.sh"
cmake --workflow --preset windows
file build/windows/talvor.exe | grep -q 'PE32+ executable (console) x86-64'
# A Wine prefix made before wine32 was installed breaks: each suite gets its own.
prefix=$PWD/build/wine-tests/wineprefix
rm -rf "$prefix" && mkdir -p "$(dirname "$prefix")"
WINEPREFIX=$prefix WINELOADER=/usr/lib/wine/wine64 /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
cmake --preset wine-tests >/dev/null
cmake --build --preset wine-tests
# Its version resource is read back from the file, without Wine.
run_suite "${windows_skips[@]}" -p '^Package\.WindowsVersionResource$' -- \
    ctest --preset wine-tests -j2
