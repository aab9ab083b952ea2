#!/bin/sh
# The main job: installs what is missing, builds the plug-in and
# strovik-probe, installs them for this user (the bundle into ~/.vst3, where
# VST 3 hosts on Linux look, the probe into ~/.local/bin), then runs the
# probe for a few seconds to show the capture working: on this desktop's own
# audio when a PipeWire session is running, otherwise on a test tone played
# into a private PipeWire server that is stopped again afterwards.
#
# BUILD_DIR (default ./build), PREFIX (default ~/.local) and DEMO_SECONDS
# (default 5) may be set in the environment.
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD="${BUILD_DIR:-$ROOT/build}"
PREFIX="${PREFIX:-$HOME/.local}"
DEMO_SECONDS="${DEMO_SECONDS:-5}"
BUNDLE="$HOME/.vst3/StrovikCapture.vst3"
PROBE="$PREFIX/bin/strovik-probe"
WAV="$BUILD/demo/strovik-capture.wav"
PNG="$BUILD/demo/strovik-capture.png"

step() { printf '\n==> %s\n' "$*"; }

step "Build dependencies from Debian's archive, and the VST 3 SDK sources"
"$ROOT/scripts/install-deps.sh"

step "Building the plug-in and strovik-probe in $BUILD"
cmake --log-level=WARNING -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DSTROVIK_INSTALL_USER=ON
cmake --build "$BUILD" -j "$(nproc)" --target StrovikCapture strovik-probe

step "Installing for $(id -un): $BUNDLE and $PROBE"
# A bundle left by an older version may hold files this one no longer has.
rm -rf "$BUNDLE"
cmake --install "$BUILD" --prefix "$PREFIX"

# A desktop session's PipeWire server listens on pipewire-0 in its runtime dir.
session=
for dir in "${PIPEWIRE_RUNTIME_DIR:-}" "${XDG_RUNTIME_DIR:-}"; do
    if [ -n "$dir" ] && [ -S "$dir/pipewire-0" ]; then
        session="$dir/pipewire-0"
        break
    fi
done

mkdir -p "$BUILD/demo"
rm -f "$WAV" "$PNG"
# Ctrl-C belongs to the probe now: it ends the capture early and still
# writes the WAV and the summary; this script goes on to say where they are.
trap '' INT
status=0
if [ -n "$session" ]; then
    step "Capturing $DEMO_SECONDS s of this desktop's audio (PipeWire session at $session)." \
        "Play something now: a video, music."
    "$PROBE" --seconds "$DEMO_SECONDS" --output "$WAV" --spectrogram "$PNG" || status=$?
else
    step "No PipeWire session found (no pipewire-0 in \$PIPEWIRE_RUNTIME_DIR or" \
        "\$XDG_RUNTIME_DIR): capturing a test tone from a private PipeWire server instead"
    "$ROOT/scripts/demo-capture.sh" "$PROBE" --seconds "$DEMO_SECONDS" --output "$WAV" \
        --spectrogram "$PNG" || status=$?
fi
trap - INT

step "Done"
echo "  plug-in       $BUNDLE (rescan plug-ins in your DAW)"
echo "  probe         $PROBE"
case ":$PATH:" in
    *":$PREFIX/bin:"*) ;;
    *) echo "                ($PREFIX/bin is not on your PATH; a new login adds it on Debian)" ;;
esac
if [ -f "$WAV" ]; then
    echo "  capture       $WAV"
    [ -n "$session" ] || echo "                (the test tone: the summary above says \"dominant 1000 Hz\")"
fi
[ -f "$PNG" ] && echo "  spectrogram   $PNG"
echo "  plug-in log   /tmp/strovik.log"
if [ "$status" -ne 0 ]; then
    echo
    echo "The plug-in is installed, but the probe run failed (status $status); see above," >&2
    echo "and Troubleshooting in README.md." >&2
    exit "$status"
fi
