#!/bin/sh
# Installs what is missing, builds the plug-in and its tests, and runs them
# all: unit tests, the plug-in driven through a test host, the SDK's
# validator, and capture against a private PipeWire server that the tests
# start and stop themselves.
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD="${BUILD_DIR:-$ROOT/build}"

"$ROOT/scripts/install-deps.sh"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$BUILD" -j "$(nproc)"
cd "$BUILD"
ctest --output-on-failure --timeout 300 "$@"
