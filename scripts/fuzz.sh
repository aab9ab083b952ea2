#!/bin/sh
# Builds the libFuzzer targets in fuzz/ and runs each for a bounded time:
#   fuzz_ring     the frame ring: writes (other channel counts made
#                 stereo on the way in), reads, discards, resets and resizes from
#                 arbitrary positions, checked against a model
#   fuzz_process  StrovikProcessor::process with host data of any shape,
#                 not ready and streaming (without a PipeWire server)
#
# Usage: scripts/fuzz.sh [SECONDS]
#   SECONDS per target, default 60 (what CI uses). A longer run is the same
#   command with a larger number, e.g. scripts/fuzz.sh 3600.
# Environment:
#   BUILD_DIR     build directory (default: build-fuzz at the root)
#   FUZZ_TARGETS  targets to run (default: "fuzz_ring fuzz_process")
#
# The build uses clang (installed here from Debian if missing, with its
# libFuzzer runtime). The whole tree, SDK and plug-in included, is compiled
# with CMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined" so
# coverage guides the fuzzer through them and the sanitizers watch them; the
# targets link -fsanitize=fuzzer,address,undefined. Undefined behaviour
# aborts (-fno-sanitize-recover=all) so that libFuzzer counts it as a crash.
# The C++ library's own functions get no coverage tracing
# (fuzz/coverage-ignorelist.txt): it guides nothing there and costs a call
# per element of every vector fill.
#
# Each target keeps its corpus in BUILD_DIR/fuzz-corpus/TARGET, so a later
# run starts from what earlier ones found. A crashing input is saved as
# BUILD_DIR/fuzz-artifacts/TARGET/crash-* (or leak-, timeout-, oom-) and
# replayed with: BUILD_DIR/fuzz/TARGET FILE. Full output is in
# BUILD_DIR/fuzz-logs/TARGET.log.
#
# Prints executions and crashes per target; exits non-zero if any crashed.
#
# fuzz_process creates a plug-in processor, which writes /tmp/strovik.log,
# so it runs holding /tmp/strovik-test.lock like every test that does; do not
# run this script itself under that lock (it would wait for itself).
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD="${BUILD_DIR:-$ROOT/build-fuzz}"
SECONDS_EACH="${1:-60}"
TARGETS="${FUZZ_TARGETS:-fuzz_ring fuzz_process}"
LOG_LOCK=/tmp/strovik-test.lock

case "$SECONDS_EACH" in
'' | *[!0-9]*)
    echo "usage: $0 [SECONDS per target]" >&2
    exit 2
    ;;
esac

# clang and its libFuzzer runtime on top of what every build needs.
# The runtime's package is named after clang's major version (14 on Debian
# 12, 19 on Debian 13), so clang comes first.
"$ROOT/scripts/install-deps.sh" clang
CLANG_MAJOR=$(clang --version | sed -n 's/.*clang version \([0-9]*\).*/\1/p' | head -n 1)
"$ROOT/scripts/install-deps.sh" "libclang-rt-$CLANG_MAJOR-dev"

SANITIZE="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all \
-fno-omit-frame-pointer -fsanitize-coverage-ignorelist=$ROOT/fuzz/coverage-ignorelist.txt"
# Tests and benchmarks have their own builds; this tree holds the fuzzers only.
CC=clang CXX=clang++ cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DSTROVIK_FUZZ=ON -DSTROVIK_BUILD_TESTS=OFF -DSTROVIK_BUILD_BENCHMARKS=OFF \
    -DCMAKE_C_FLAGS="$SANITIZE" -DCMAKE_CXX_FLAGS="$SANITIZE"
# shellcheck disable=SC2086 # one word per target
cmake --build "$BUILD" -j "$(nproc)" --target $TARGETS

failed=0
mkdir -p "$BUILD/fuzz-logs"
for target in $TARGETS; do
    corpus="$BUILD/fuzz-corpus/$target"
    artifacts="$BUILD/fuzz-artifacts/$target"
    log="$BUILD/fuzz-logs/$target.log"
    mkdir -p "$corpus" "$artifacts"
    found_before=$(find "$artifacts" -type f | wc -l)

    set -- "$BUILD/fuzz/$target" -max_total_time="$SECONDS_EACH" -print_final_stats=1 \
        -timeout=30 -rss_limit_mb=2048 -artifact_prefix="$artifacts/" "$corpus"
    [ "$target" = fuzz_process ] && set -- flock "$LOG_LOCK" "$@"
    echo "== $target: ${SECONDS_EACH} s"
    if "$@" >"$log" 2>&1; then rc=0; else rc=$?; fi

    # The final stats when the run ended normally, else the last status line.
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    [ -n "$executions" ] || executions=$(sed -n 's/^#\([0-9][0-9]*\).*/\1/p' "$log" | tail -n 1)
    crashes=$(($(find "$artifacts" -type f | wc -l) - found_before))
    [ "$rc" -eq 0 ] || [ "$crashes" -gt 0 ] || crashes=1
    echo "$target: ${executions:-0} executions, $crashes crashes (exit $rc)"
    if [ "$rc" -ne 0 ] || [ "$crashes" -gt 0 ]; then
        failed=1
        tail -n 60 "$log"
        # libFuzzer names artifacts by hash: no spaces or newlines to trip ls.
        # shellcheck disable=SC2012
        ls -t "$artifacts" | head -n "$crashes" | sed "s|^|crashing input: $artifacts/|"
    fi
done
exit "$failed"
