#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# shellcheck source=.ci/lib.sh
. "$(dirname "$0")/../lib.sh"
# clang-tidy reads the compile commands of this host's build (the README's
# release preset's); cppcheck reads every host's file.
[ -f build/release/compile_commands.json ] || cmake --preset release >/dev/null
clang-tidy --quiet -p build/release src/*.cpp src/posix/files.cpp src/posix/identity.cpp src/posix/lock.cpp \
    src/posix/stops.cpp src/posix/terminal.cpp src/posix/text.cpp src/posix/names.cpp src/posix/linux_copy.cpp \
    src/posix/linux_open.cpp src/posix/linux_devices.cpp src/posix/linux_overlay.cpp \
    src/posix/linux_filesystems.cpp src/posix/linux_sys.cpp
cppcheck -q --std=c++17 --language=c++ --enable=warning,performance,portability \
    --error-exitcode=1 --inline-suppr -I src src/

# The house's shape, which no compiler checks. A run ends in one place:
# only end_run calls exit (a stop's handler ends the process its own way).
exits=$(grep -rlE '(^|[^_a-zA-Z])(std::)?exit\(' src | sort)
[ "$exits" = "src/run.cpp" ] || { echo "CI: exit called outside end_run: $exits" >&2; exit 1; }
# Arrows run down: no host file knows the core's line or steps.
if grep -rnE 'progress\.h|progress_line|tick_progress|count_waiting|files\.h|engine\.h' \
    src/posix src/windows; then
    echo "CI: a host file reaches up into the core" >&2
    exit 1
fi
# Hosts of one shape: the same rooms, Linux's extras and resources aside.
rooms() { find "$1" -name '*.cpp' ! -name 'linux_*' ! -name portable.cpp -printf '%f\n' | sort; }
diff <(rooms src/posix) <(rooms src/windows) ||
    { echo "CI: src/posix and src/windows differ in their rooms" >&2; exit 1; }
