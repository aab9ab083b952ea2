#!/bin/sh
# Builds the plug-in with its benchmarks and runs them all: process() per
# host block and the ring write per PipeWire packet against their floors
# (Google Benchmark, repetitions interleaved in one run so both sides of
# every ratio see the same machine), start-up and shut-down times, and
# end-to-end latency through a private PipeWire server. Figures are
# reported, never enforced.
#
# benchmarks/results/ gets what is kept in the repository: the four tables
# (*.md) and summary.json, the key figures of each table with the machine
# they were taken on. Everything the programs write besides (Google
# Benchmark's JSON with every repetition, the console output, each
# program's own JSON) goes to benchmarks/results/raw/, which git ignores.
# The tables are printed at the end.
#
#   BUILD_DIR=...        build directory (default: build)
#   BENCH_REPETITIONS=N  Google Benchmark repetitions (default 10)
#   BENCH_RUNS=N         start-up runs after the cold one (default 20)
#   BENCH_REPEATS=N      latency runs per combination (default 3)
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD="${BUILD_DIR:-$ROOT/build}"
RESULTS="$ROOT/benchmarks/results"
RAW="$RESULTS/raw"
BENCH="$BUILD/benchmarks"
# Every program that creates a processor writes /tmp/strovik.log; the lock
# keeps this run from truncating the log of a test run beside it.
LOCK=/tmp/strovik-test.lock

"$ROOT/scripts/install-deps.sh"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTROVIK_BUILD_BENCHMARKS=ON
cmake --build "$BUILD" -j "$(nproc)" --target strovik_bench_process strovik_bench_writering \
    strovik_bench_startup strovik_bench_latency
mkdir -p "$RAW"

cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
{
    printf '{\n  "date": "%s",\n' "$(date -u +%Y-%m-%dT%H:%M:%SZ)"
    printf '  "nproc": %s,\n  "cpu": "%s",\n' "$(nproc)" "$cpu"
    printf '  "kernel": "%s",\n' "$(uname -r)"
    printf '  "memory": "%s"\n}\n' "$(free -h | awk '/^Mem:/ {print $2}')"
} >"$RAW/machine.json"

gbench() {
    name=$1
    shift
    echo "== $name (console output in benchmarks/results/raw/$name.log)"
    "$@" --benchmark_repetitions="${BENCH_REPETITIONS:-10}" \
        --benchmark_enable_random_interleaving=true \
        --benchmark_min_time=0.25 \
        --benchmark_display_aggregates_only=true \
        --benchmark_out="$RAW/$name.json" --benchmark_out_format=json \
        --ratios_out="$RAW/$name-ratios.json" --summary_out="$RESULTS/$name.md" \
        >"$RAW/$name.log" 2>&1 || fail "$name"
}

fail() {
    tail -n 20 "$RAW/$1.log" >&2
    echo "benchmark.sh: $1 failed (see benchmarks/results/raw/$1.log)" >&2
    exit 1
}

gbench process flock "$LOCK" "$BENCH/strovik_bench_process"
gbench writering "$BENCH/strovik_bench_writering"

echo "== startup"
flock "$LOCK" "$BENCH/strovik_bench_startup" --runs="${BENCH_RUNS:-20}" \
    --json="$RAW/startup.json" --summary="$RESULTS/startup.md" >"$RAW/startup.log" 2>&1 ||
    fail startup
echo "== latency"
flock "$LOCK" "$BENCH/strovik_bench_latency" --repeats="${BENCH_REPEATS:-3}" \
    --json="$RAW/latency.json" --summary="$RESULTS/latency.md" >"$RAW/latency.log" 2>&1 ||
    fail latency

# One object of the compact per-table JSONs (medians, ratios and targets;
# start-up and latency summaries), each indented one level.
{
    printf '{\n'
    first=yes
    for part in machine:machine process:process-ratios writering:writering-ratios \
        startup:startup latency:latency; do
        [ -n "$first" ] || printf ',\n'
        first=
        printf '  "%s": %s' "${part%%:*}" "$(sed '1!s/^/  /' "$RAW/${part#*:}.json")"
    done
    printf '\n}\n'
} >"$RESULTS/summary.json"

echo
echo "Machine: $(nproc) cores, $cpu, kernel $(uname -r), $(date -u +%Y-%m-%d)"
for table in process writering startup latency; do
    echo
    cat "$RESULTS/$table.md"
done
