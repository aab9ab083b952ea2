#!/bin/sh
# A long capture of a known sequence against the private PipeWire server,
# compared sample for sample with what was played.
#
#   scripts/soak.sh [seconds=600] [host clock offset in ppm=0]
#
# With an offset (1000 ppm = 0.1 %) the host's blocks come that much faster
# (negative: slower) than the graph's clock, as when a DAW runs on its own
# sound card; the report then shows what a user hears.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD="${BUILD_DIR:-$ROOT/build}"
cmake -S "$ROOT" -B "$BUILD" >/dev/null
cmake --build "$BUILD" -j "$(nproc)" --target strovik_soak StrovikCapture >/dev/null
exec "$BUILD/tests/strovik_soak" "${1:-600}" "${2:-0}"
