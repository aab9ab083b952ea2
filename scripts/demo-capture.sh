#!/bin/bash
# Shows the whole capture path on a machine without a desktop session:
# starts a private PipeWire server (tests/pipewire/test-server.sh, which
# never touches your own audio setup), plays a 1 kHz test tone into it and
# runs strovik-probe while it plays. Everything is stopped again at the end.
#
#   demo-capture.sh PROBE [strovik-probe options and bundle]
#
# Exits with the probe's status.
set -u

ROOT=$(cd "$(dirname "$0")/.." && pwd)
TONE_HZ=1000

if [ $# -lt 1 ]; then
    echo "usage: $0 PROBE [strovik-probe options and bundle]" >&2
    exit 2
fi
PROBE=$1
shift

# The tone must outlast the capture, which also needs a moment to link.
seconds=5
prev=
for arg in "$@"; do
    case $arg in --seconds=*) seconds=${arg#--seconds=} ;; esac
    [ "$prev" = --seconds ] && seconds=$arg
    prev=$arg
done
tone_seconds=$(awk -v s="$seconds" 'BEGIN { printf "%d", (s > 0 ? s : 5) + 5 }')

for program in sox pw-play; do
    if ! command -v "$program" >/dev/null 2>&1; then
        echo "demo-capture: $program is missing (Debian packages sox, pipewire-bin);" \
            "scripts/install-deps.sh installs them" >&2
        exit 1
    fi
done

DIR=$(mktemp -d /tmp/strovik-demo-XXXXXX)
PLAYER=
cleanup() {
    if [ -n "$PLAYER" ]; then
        kill "$PLAYER" 2>/dev/null
        wait "$PLAYER" 2>/dev/null
    fi
    bash "$ROOT/tests/pipewire/test-server.sh" stop "$DIR/server"
    rm -rf "$DIR"
}
trap cleanup EXIT
trap 'exit 143' TERM
# Ctrl-C is the probe's: it stops the capture early and still writes the
# WAV and the summary. This script goes on to clean up afterwards.
trap '' INT

exports=$(bash "$ROOT/tests/pipewire/test-server.sh" start "$DIR/server") || {
    echo "demo-capture: the private PipeWire server did not start" >&2
    exit 1
}
eval "$exports"

sox -n -r 48000 -c 2 -b 32 -e floating-point "$DIR/tone.wav" \
    synth "$tone_seconds" sine "$TONE_HZ" vol 0.5
echo "demo-capture: a private PipeWire server is playing a $TONE_HZ Hz test tone" \
    "(peak -6 dBFS) to its default output; the plug-in captures that output."
pw-play "$DIR/tone.wav" &
PLAYER=$!

"$PROBE" "$@"
