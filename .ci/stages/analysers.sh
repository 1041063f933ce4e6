#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# shellcheck source=.ci/lib.sh
. "$(dirname "$0")/../lib.sh"
# clang-tidy reads the compile commands of this host's build (the README's
# release preset's); cppcheck reads every host's file.
[ -f build/release/compile_commands.json ] || cmake --preset release >/dev/null
clang-tidy --quiet -p build/release src/*.cpp src/posix/files.cpp src/posix/identity.cpp src/posix/lock.cpp \
    src/posix/stops.cpp src/posix/terminal.cpp src/posix/text.cpp src/posix/linux_copy.cpp \
    src/posix/linux_open.cpp src/posix/linux_devices.cpp src/posix/linux_overlay.cpp
cppcheck -q --std=c++17 --language=c++ --enable=warning,performance,portability \
    --error-exitcode=1 --inline-suppr -I src src/
