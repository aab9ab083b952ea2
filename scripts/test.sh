#!/bin/sh
# Installs what is missing, then builds and runs every test: unit tests, the
# plug-in driven as a host drives it, the SDK's validator, capture, faults
# and a one-minute soak against a private PipeWire server that the tests
# start and stop themselves. Then the same suite under AddressSanitizer
# (with UndefinedBehavior and Leak sanitizers) and under ThreadSanitizer,
# short fuzzing runs, and (as root) the Debian package built, installed,
# used and removed.
#
#   scripts/test.sh            everything (what CI runs)
#   scripts/test.sh --quick    the plain build's tests only
#
# Further arguments go to ctest, e.g. scripts/test.sh --quick -L unit
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
QUICK=
if [ "${1:-}" = --quick ]; then
    QUICK=1
    shift
fi
JOBS=$(nproc)
PASSED=0
FAILED=0
SECOND_RUNS=
# The tests that compare a capture frame for frame against a live server,
# while it and the host's thread run in real time. A virtual machine that
# is descheduled for tens of milliseconds loses a cycle there that the
# plug-in never saw; each such test gets one more run after a failure (a
# fault of the plug-in fails twice), and the summary names every one.
TIMING_LABELS='^(capture|routing|faults|soak)$'
MOST_SECOND_RUNS=5

stage() { printf '\n=== %s ===\n' "$1"; }

# $1 build dir, $2 extra ctest arguments, rest: cmake options
suite() {
    dir=$1
    ctest_args=$2
    shift 2
    # Chained: a stage's own failure must not be hidden by the "if" in record.
    # shellcheck disable=SC2086  # extra arguments are meant to split
    cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" &&
        cmake --build "$dir" -j "$JOBS" &&
        run_tests "$dir" "$ctest_args"
}

# $1 build dir, $2 extra ctest arguments
run_tests() {
    # shellcheck disable=SC2086  # extra arguments are meant to split
    (cd "$1" && ctest --output-on-failure --timeout 300 $2) && return 0
    failed=$(sed 's/^[0-9]*://' "$1/Testing/Temporary/LastTestsFailed.log")
    timing=$(cd "$1" && ctest -N -L "$TIMING_LABELS" | sed -n 's/^ *Test *#[0-9]*: //p')
    count=0
    for t in $failed; do
        # Not a test of that kind, or more failures than a stall explains:
        # no second run.
        printf '%s\n' "$timing" | grep -qxF "$t" || return 1
        count=$((count + 1))
    done
    [ "$count" -le "$MOST_SECOND_RUNS" ] || return 1
    echo "=== once more, as they depend on this machine's timing:" $failed
    SECOND_RUNS="$SECOND_RUNS $failed"
    pattern=$(printf '%s\n' $failed | sed 's/[].[\*^$()+?{|]/\\&/g' | paste -sd '|')
    (cd "$1" && ctest --output-on-failure --timeout 300 -R "^($pattern)\$")
}

record() {
    if "$@"; then PASSED=$((PASSED + 1)); else FAILED=$((FAILED + 1)); fi
}

"$ROOT/scripts/install-deps.sh"

stage "plain build"
record suite "$ROOT/build" "$*"

if [ -z "$QUICK" ]; then
    stage "AddressSanitizer + UndefinedBehaviorSanitizer + LeakSanitizer"
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
    export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
    record suite "$ROOT/build-asan" "-LE soak $*" \
        -DSTROVIK_SANITIZE=address -DSTROVIK_BUILD_BENCHMARKS=OFF
    unset ASAN_OPTIONS UBSAN_OPTIONS

    stage "ThreadSanitizer"
    export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
    record suite "$ROOT/build-tsan" "-LE soak $*" \
        -DSTROVIK_SANITIZE=thread -DSTROVIK_BUILD_BENCHMARKS=OFF
    unset TSAN_OPTIONS

    stage "fuzzing, 60 s a target"
    record "$ROOT/scripts/fuzz.sh" 60

    stage "Debian package: install, capture, remove"
    if [ "$(id -u)" -eq 0 ]; then
        record "$ROOT/scripts/check-package.sh"
    else
        echo "skipped: installing a package needs root (sudo scripts/check-package.sh)"
    fi
fi

stage "summary"
if [ -n "$SECOND_RUNS" ]; then
    echo "failed once, then passed or failed again on a second run (see above):$SECOND_RUNS"
fi
echo "stages: $PASSED passed, $FAILED failed"
[ "$FAILED" -eq 0 ]
