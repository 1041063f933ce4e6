# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# Sourced by .ci/run and by each stage, so that a stage also runs alone:
# bash .ci/stages/NAME.sh from anywhere.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

export DEBIAN_FRONTEND=noninteractive
export HOME=${HOME:-/root}
export WINEDEBUG=-all LC_ALL=C.UTF-8
linux_arches=(x86_64 i386 arm64 armhf)
declare -A linux_triple=([x86_64]=x86_64-linux-gnu [i386]=i686-linux-gnu
    [arm64]=aarch64-linux-gnu [armhf]=arm-linux-gnueabihf)

# What CI keeps between its stages: build/ci/lists-failed holds the lists
# that apt-get update could not fetch, build/ci/not-given/GROUP why the
# archive gave none of GROUP's packages.
ci_state=build/ci

# The packages of $@ that are not installed yet.
missing_packages() {
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
            echo "$p"
    done
}

# How often, and how far apart, the lists are fetched before CI goes on
# without them: a sync usually ends within minutes.
apt_tries=${CI_APT_TRIES:-3}
apt_pause=${CI_APT_PAUSE:-60}

# Updates the package lists, once per CI run. An archive can be caught in the
# middle of a sync, with one list of one architecture the wrong size: the
# update is tried again after a pause, and lists that still fail do not stop
# CI by themselves. The installs that follow decide.
update_lists() {
    [ ! -e "$ci_state/updated" ] || return 0
    mkdir -p "$ci_state"
    local try log status
    log=$(mktemp)
    for try in $(seq "$apt_tries"); do
        if [ "$try" -gt 1 ]; then
            echo "CI: apt-get update failed; again in $apt_pause s"
            sleep "$apt_pause"
        fi
        status=0
        apt-get update -q 2>&1 | tee "$log" || status=$?
        if [ "$status" -eq 0 ]; then
            rm -f "$ci_state/lists-failed" "$log"
            touch "$ci_state/updated"
            return 0
        fi
    done
    grep '^E: Failed to fetch' "$log" >"$ci_state/lists-failed" || true
    echo "CI: apt-get update still fails after $try tries; the installs decide:" >&2
    sed 's/^/    /' "$ci_state/lists-failed" >&2
    rm -f "$log"
    touch "$ci_state/updated"
}

# Installs the packages that are missing; a failure fails the stage.
install() {
    local missing
    mapfile -t missing < <(missing_packages "$@")
    [ ${#missing[@]} -gt 0 ] || return 0
    echo "== installing: ${missing[*]}"
    update_lists
    apt-get install -y -q "${missing[@]}"
}

# install_group GROUP ARCH PACKAGE...: installs a group that only some stages
# need. When the archive knows every name but cannot give them while an ARCH
# list failed to update (a half-synced archive), the group is marked not
# given, with apt's own error, and the stages that need it are not run; any
# other failure (a misspelt or removed name) fails the stage as install does.
install_group() {
    local group=$1 arch=$2 missing log status=0
    shift 2
    rm -f "$ci_state/not-given/$group"
    mapfile -t missing < <(missing_packages "$@")
    [ ${#missing[@]} -gt 0 ] || return 0
    echo "== installing the $group group: ${missing[*]}"
    update_lists
    log=$(mktemp)
    apt-get install -y -q "${missing[@]}" 2>&1 | tee "$log" || status=$?
    if [ "$status" -ne 0 ] && grep -qs "binary-$arch/" "$ci_state/lists-failed" &&
        apt-cache show "${missing[@]}" >/dev/null 2>&1; then
        mkdir -p "$ci_state/not-given"
        { echo "${missing[*]}"; grep '^E: ' "$log" | tail -n 1; } >"$ci_state/not-given/$group"
        echo "CI: the package archive gives no ${missing[*]} today: its $arch lists are" \
            "half-synced; the stages that need them will say NOT RUN" >&2
        status=0
    fi
    rm -f "$log"
    return "$status"
}

# not_given GROUP STAGE: true when the archive gave none of GROUP's packages
# on this CI run; STAGE (or the part of it that needs them) is then not run,
# which its own line says here and the last line of .ci/run says again.
not_given() {
    local file=$ci_state/not-given/$1 line
    [ -e "$file" ] || return 1
    line="$2: NOT RUN: the package archive gives no $(head -n 1 "$file") today ($(tail -n 1 "$file"))"
    echo "== stage $line"
    echo "$line" >>"$ci_state/not-run"
}

# run_suite [-s SKIP]... [-p PASS]... -- COMMAND...: runs a ctest COMMAND and
# fails on a failed test, on a run that counted none, on a skipped test that no
# SKIP regex names, on a SKIP that named no skipped test (so that each stage's
# list stays true), and on a PASS regex that no passed test matches. ctest
# counts a skip as passed: a machine without mounts or loop devices would
# otherwise go green having tested none of them.
run_suite() {
    local skips=() passes=()
    while [ "$1" != -- ]; do
        case $1 in
        -s) skips+=("$2") ;;
        -p) passes+=("$2") ;;
        *) echo "CI: run_suite: unknown option $1" >&2; exit 2 ;;
        esac
        shift 2
    done
    shift
    local log
    log=$(mktemp)
    "$@" 2>&1 | tee "$log"
    local status=${PIPESTATUS[0]}
    if [ "$status" -ne 0 ]; then
        echo "CI: '$*' failed with status $status" >&2
        exit "$status"
    fi
    if ! grep -Eq 'tests passed, 0 tests failed out of [1-9][0-9]*' "$log"; then
        echo "CI: '$*' ran no test" >&2
        exit 1
    fi
    check_skips "$log" "$*" "${#skips[@]}" "${skips[@]}" "${passes[@]}"
    rm -f "$log"
}

# The names of the tests that ended as $2 ("Passed", "Skipped") in ctest's log $1.
tests_that() {
    sed -nE "s/^ *[0-9]+\/[0-9]+ +Test +#[0-9]+: (.*[^.]) \.+ *(\*\*\*)?$2 +[0-9.]+ sec\$/\1/p" "$1"
}

# check_skips LOG WHAT N SKIP... PASS...: run_suite's checks of its log, with
# its N SKIP regexes first.
check_skips() {
    local log=$1 what=$2 count=$3
    shift 3
    local skips=("${@:1:count}") passes=("${@:count+1}")
    local skipped passed allowed='^$' regex unexpected wrong=0
    skipped=$(tests_that "$log" Skipped)
    passed=$(tests_that "$log" Passed)
    [ "$count" -eq 0 ] || allowed=$(IFS='|' && echo "${skips[*]}")
    unexpected=$(grep -Ev "$allowed" <<<"$skipped" || true)
    if [ -n "$unexpected" ]; then
        local names
        mapfile -t names <<<"$unexpected"
        echo "CI: '$what' skipped what this stage must run:" >&2
        printf '    %s\n' "${names[@]}" >&2
        wrong=1
    fi
    for regex in "${skips[@]}"; do
        grep -Eq "$regex" <<<"$skipped" ||
            { echo "CI: '$what' was to skip '$regex', which ran or was not there" >&2; wrong=1; }
    done
    for regex in "${passes[@]}"; do
        grep -Eq "$regex" <<<"$passed" ||
            { echo "CI: '$what' passed no test named '$regex'" >&2; wrong=1; }
    done
    [ "$wrong" -eq 0 ] || exit 1
}

# The skips each kind of tool expects, as run_suite options. A POSIX tool's
# stops are tested by the preloading cases; the console's, and what only a
# Windows launcher or drive letter can reach, are Windows's.
posix_skips=(-s '^Stop\.ConsoleControlEventCutsBack$' -s '^Windows\.'
    -s '^Turns\.InputHeldForWritingByAnotherProgramIsRefusedOnWindows$')
# A tool built with the POSIX calls alone makes no kernel copy, which these
# cases inject faults into or look for, no overlay-aware open, and no look at
# the file system that holds a file.
portable_skips=("${posix_skips[@]}" -s '^KernelCopy\.'
    -s '^Holes\.KeptAtTheSamePlacesOnXfs$'
    -s '^InPlace\.(FailedRunLeavesNoOldByte|OutOfSpaceStartsOver)'
    -s '^FileSystems\.OverlayDestinationOnlyInTheLowerLayerIsNotCopiedUp$'
    -s '^Given/OverlayLayers\.'
    -s '^FileSystems\.(LoopDeviceOverAnInputIsTheSameFile|PartitionSharesItsDisksBytes)$'
    -s '^FileSystems\.BlockDeviceInUseIsRefusedUntouched$'
    -s '^NewDest\.AmongTheDevicesIsRefusedUnmade$'
    -s '^Stop\.StopWhileTheMessageWaitsWritesNothingMore$'
    -s '^Rows/Stack\.' -s '^StackRows\.' -s '^UnderTurns\.')
# A static tool takes no preloaded shim: these run against the dynamic ones.
static_skips=("${posix_skips[@]}" -s '^HostFailure\.NoWorkingBufferLeavesAnEmptyDestination$'
    -s '^SameFileRace\.InputLinkedInAfterAnyNameCheckIsRefusedUntouched$'
    -s '^Stop\.(CaughtStopCutsBackAndEndsByItsSignal|KilledRunWithAHeadOfZerosLeavesDestShort)$'
    -s '^Stacks\.(SourceCutShortWhileReadEndsDestThere|KilledRunNeverLeavesZerosOverAnOldDest)$'
    -s '^Stacks\.RunOntoTheSourceOfAStoppedRunEndsWhole$')
# Under Wine there is no strace, /dev, /proc, FIFO, mount or preloading for
# the tool.
windows_skips=(-s '^Scenarios/FaultPoint\.' -s '^FileSystems\.' -s '^Given/OverlayLayers\.'
    -s '^HostFailure\.' -s '^Holes\.KeptAtTheSamePlacesOn(Tmpfs|Xfs)$'
    -s '^(Stick|DatedDest|NewDest|Absent)\.' -s '^DeviceWriteBehind\.' -s '^DeviceFlush\.' -s '^ThrottledDevice\.'
    -s '^ProgressLine\.(TellsAWaitForAnotherRunOnlyOnATerminal|TwoRunsOnOneTerminalLeaveNoFragment)$'
    -s '^HostSource\.(PipeIsStreamed|ProcFileOfSizeZero|CopyAcrossFileSystems|SourceShorterThanItSays)'
    -s '^HostDestination\.' -s '^KernelCopy\.' -s '^SameFileRace\.' -s '^Concurrency\.'
    -s '^Routing\.(DestThatIsStandardOutputLeavesTheMessageOnStandardError|ClosedStandardStreamsLeaveNoTextInTheRunsFiles)$'
    -s '^InPlace\.(FailedRunLeavesNoOldByte|OutOfSpaceStartsOver)'
    -s '^Stop\.(CaughtStopCutsBack|FileSizeLimitIsAFailedWrite|KilledRunWithAHeadOfZeros|StopWhileTheMessageWaits)'
    -s '^LineThread\.'
    -s '^Stacks\.' -s '^Rows/Stack\.' -s '^StackRows\.' -s '^Rows/Apart\.' -s '^OffsetView\.'
    -s '^UnderTurns\.')

# Where no binfmt handler took 32-bit x86 programs, the kernel runs them itself.
i386_emulated() {
    grep -qsx enabled /proc/sys/fs/binfmt_misc/qemu-i386
}
