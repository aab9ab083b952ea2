#!/bin/sh
# Builds the plug-in with its benchmarks and runs them all: process() per
# host block and writeRing() per packet against their floors (Google
# Benchmark, repetitions interleaved in one run so both sides of every ratio
# see the same machine), start-up and shut-down times, and end-to-end
# latency through a private PipeWire server. Results go to
# benchmarks/results/ (JSON, plus the tables as Markdown); the tables are
# printed at the end. Figures are reported, never enforced.
#
#   BUILD_DIR=...        build directory (default: build)
#   BENCH_REPETITIONS=N  Google Benchmark repetitions (default 10)
#   BENCH_RUNS=N         start-up runs after the cold one (default 20)
#   BENCH_REPEATS=N      latency runs per combination (default 3)
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD="${BUILD_DIR:-$ROOT/build}"
RESULTS="$ROOT/benchmarks/results"
BENCH="$BUILD/benchmarks"
# Every program that creates a processor writes /tmp/strovik.log; the lock
# keeps this run from truncating the log of a test run beside it.
LOCK=/tmp/strovik-test.lock

"$ROOT/scripts/install-deps.sh"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTROVIK_BUILD_BENCHMARKS=ON
cmake --build "$BUILD" -j "$(nproc)" --target strovik_bench_process strovik_bench_writering \
    strovik_bench_startup strovik_bench_latency
mkdir -p "$RESULTS"

cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
{
    printf '{\n  "date": "%s",\n' "$(date -u +%Y-%m-%dT%H:%M:%SZ)"
    printf '  "nproc": %s,\n  "cpu": "%s",\n' "$(nproc)" "$cpu"
    printf '  "kernel": "%s",\n' "$(uname -r)"
    printf '  "memory": "%s"\n}\n' "$(free -h | awk '/^Mem:/ {print $2}')"
} >"$RESULTS/machine.json"

gbench() {
    name=$1
    shift
    echo "== $name (console output in benchmarks/results/$name.log)"
    "$@" --benchmark_repetitions="${BENCH_REPETITIONS:-10}" \
        --benchmark_enable_random_interleaving=true \
        --benchmark_min_time=0.25 \
        --benchmark_display_aggregates_only=true \
        --benchmark_out="$RESULTS/$name.json" --benchmark_out_format=json \
        --ratios_out="$RESULTS/$name-ratios.json" --summary_out="$RESULTS/$name.md" \
        >"$RESULTS/$name.log" 2>&1 || fail "$name"
}

fail() {
    tail -n 20 "$RESULTS/$1.log" >&2
    echo "benchmark.sh: $1 failed (see benchmarks/results/$1.log)" >&2
    exit 1
}

gbench process flock "$LOCK" "$BENCH/strovik_bench_process"
gbench writering "$BENCH/strovik_bench_writering"

echo "== startup"
flock "$LOCK" "$BENCH/strovik_bench_startup" --runs="${BENCH_RUNS:-20}" \
    --json="$RESULTS/startup.json" --summary="$RESULTS/startup.md" >"$RESULTS/startup.log" 2>&1 ||
    fail startup
echo "== latency"
flock "$LOCK" "$BENCH/strovik_bench_latency" --repeats="${BENCH_REPEATS:-3}" \
    --json="$RESULTS/latency.json" --summary="$RESULTS/latency.md" >"$RESULTS/latency.log" 2>&1 ||
    fail latency

echo
echo "Machine: $(nproc) cores, $cpu, kernel $(uname -r), $(date -u +%Y-%m-%d)"
for table in process writering startup latency; do
    echo
    cat "$RESULTS/$table.md"
done
