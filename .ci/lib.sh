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

# Installs the packages that are missing; updates the lists first, once.
updated=
install() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$p")
    done
    [ ${#missing[@]} -gt 0 ] || return 0
    echo "== installing: ${missing[*]}"
    [ -n "$updated" ] || { apt-get update -q; updated=1; }
    apt-get install -y -q "${missing[@]}"
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
posix_skips=(-s '^Stop\.ConsoleControlEventCutsBack$' -s '^Windows\.')
# A tool built with the POSIX calls alone makes no kernel copy, which these
# cases inject faults into or look for, and no overlay-aware open.
portable_skips=("${posix_skips[@]}" -s '^KernelCopy\.'
    -s '^Holes\.KeptAtTheSamePlacesOnXfs$'
    -s '^InPlace\.(FailedRunLeavesNoOldByte|OutOfSpaceStartsOver)'
    -s '^FileSystems\.OverlayDestinationOnlyInTheLowerLayerIsNotCopiedUp$'
    -s '^Given/OverlayLayers\.'
    -s '^FileSystems\.(LoopDeviceOverAnInputIsTheSameFile|PartitionSharesItsDisksBytes)$'
    -s '^FileSystems\.BlockDeviceInUseIsRefusedUntouched$'
    -s '^Rows/Stack\.' -s '^Stacks\.SecondLoopOverAMountedImageIsRefused$')
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
    -s '^DeviceWriteBehind\.' -s '^DeviceFlush\.' -s '^ThrottledDevice\.'
    -s '^ProgressLine\.(TellsAWaitForAnotherRunOnlyOnATerminal|TwoRunsOnOneTerminalLeaveNoFragment)$'
    -s '^HostSource\.(PipeIsStreamed|ProcFileOfSizeZero|CopyAcrossFileSystems|SourceShorterThanItSays)'
    -s '^HostDestination\.' -s '^KernelCopy\.' -s '^SameFileRace\.' -s '^Concurrency\.'
    -s '^Refusal\.DestThatIsStandardOutputIsRefusedBeforeAnyWrite$'
    -s '^InPlace\.(FailedRunLeavesNoOldByte|OutOfSpaceStartsOver)'
    -s '^Stop\.(CaughtStopCutsBack|FileSizeLimitIsAFailedWrite|KilledRunWithAHeadOfZeros)'
    -s '^Stacks\.' -s '^Rows/Stack\.')

# Where no binfmt handler took 32-bit x86 programs, the kernel runs them itself.
i386_emulated() {
    grep -qsx enabled /proc/sys/fs/binfmt_misc/qemu-i386
}
