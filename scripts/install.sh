#!/bin/sh
# The main job: installs what is missing, builds the plug-in and installs
# its bundle for this user into ~/.vst3, where VST 3 hosts on Linux look.
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD="${BUILD_DIR:-$ROOT/build}"

"$ROOT/scripts/install-deps.sh"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$BUILD" -j "$(nproc)" --target StrovikCapture
mkdir -p "$HOME/.vst3"
rm -rf "$HOME/.vst3/StrovikCapture.vst3"
cp -R "$BUILD/VST3/StrovikCapture.vst3" "$HOME/.vst3/"
echo "Installed $HOME/.vst3/StrovikCapture.vst3"
