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
        (cd "$dir" && ctest --output-on-failure --timeout 300 $ctest_args)
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
echo "stages: $PASSED passed, $FAILED failed"
[ "$FAILED" -eq 0 ]
