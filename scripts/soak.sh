#!/bin/sh
# A long capture of a known sequence against the private PipeWire server,
# compared sample for sample with what was played.
#
#   scripts/soak.sh [seconds=600] [host clock offset in ppm=0] [options]
#
# The options go to the soak program as they are: --burst-every=SECONDS,
# --burst-once-at=SECONDS and --burst-ms=MS for a host that stalls and then
# catches up; --gaps for a second of digital silence every ten in what is
# played (see tests/soak/soak.cpp).
#
# With an offset (1000 ppm = 0.1 %) the host's blocks come that much faster
# (negative: slower) than the graph's clock, as when a DAW runs on its own
# sound card; the report then shows what a user hears.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD="${BUILD_DIR:-$ROOT/build}"
cmake -S "$ROOT" -B "$BUILD" >/dev/null
cmake --build "$BUILD" -j "$(nproc)" --target strovik_soak StrovikCapture >/dev/null
DURATION=600
PPM=0
if [ $# -gt 0 ]; then case "$1" in --*) ;; *) DURATION=${1:-600}; shift ;; esac; fi
if [ $# -gt 0 ]; then case "$1" in --*) ;; *) PPM=${1:-0}; shift ;; esac; fi
exec "$BUILD/tests/strovik_soak" "$DURATION" "$PPM" "$@"
