#!/bin/bash
# strovik-probe captures a 1 kHz test tone played into a private PipeWire
# server (scripts/demo-capture.sh), at the default host rate and at one
# PipeWire must resample to. The summary must name the tone, and the WAV
# must hold it, as sox measures it independently.
#
#   tone-test.sh PROBE BUNDLE SOURCE_DIR
# Exits 77 (skipped) when PipeWire or sox are missing, unless CI=true.
set -u

PROBE=$1 BUNDLE=$2 ROOT=$3

if ! bash "$ROOT/tests/pipewire/test-server.sh" available || ! command -v sox >/dev/null; then
    [ "${CI:-}" = true ] && { echo "FAIL: PipeWire test server or sox missing"; exit 1; }
    echo "SKIPPED: PipeWire test server programs or sox missing"
    exit 77
fi

WORK=$(mktemp -d /tmp/strovik-probe-tone-XXXXXX)
trap 'rm -rf "$WORK"' EXIT

failures=0
passes=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { passes=$((passes + 1)); }
# within VALUE LOW HIGH DESCRIPTION
within() {
    if awk -v v="$1" -v lo="$2" -v hi="$3" 'BEGIN { exit !(v != "" && v >= lo && v <= hi) }'; then
        pass
    else
        fail "$4: '$1' not within $2..$3"
    fi
}

for setting in "48000 512" "44100 256"; do
    read -r rate block <<<"$setting"
    out="$WORK/tone-$rate.wav"
    png="$WORK/tone-$rate.png"
    "$ROOT/scripts/demo-capture.sh" "$PROBE" --seconds 2 --rate "$rate" --block "$block" \
        --output "$out" --spectrogram "$png" "$BUNDLE" >"$WORK/log" 2>&1
    status=$?
    summary=$(cat "$WORK/log")
    echo "--- $rate Hz, block $block"
    echo "$summary"
    [ "$status" -eq 0 ] && pass || fail "$rate Hz: exit status $status"

    for side in L R; do
        line=$(grep "^  channel $side " <<<"$summary")
        hz=$(sed -n 's/.*dominant \([0-9.]*\) Hz.*/\1/p' <<<"$line")
        peak=$(sed -n 's/.*peak \(-\{0,1\}[0-9.]*\) dBFS.*/\1/p' <<<"$line")
        within "$hz" 999 1001 "$rate Hz, channel $side, dominant frequency"
        within "$peak" -6.5 -5.5 "$rate Hz, channel $side, peak"
    done
    grep -qF "PipeWire        connected, stream opened at $rate Hz" <<<"$summary" && pass ||
        fail "$rate Hz: stream not opened at the host rate"
    grep -qE "^  ring fill       min [0-9]+%, max [0-9]+%, last [0-9]+%" <<<"$summary" && pass ||
        fail "$rate Hz: no ring fill"
    frames=$(sed -n 's/^  frames *\([0-9]*\) .*/\1/p' <<<"$summary")
    within "$frames" $((2 * rate)) $((2 * rate + block)) "$rate Hz, frames"

    # The file itself, read by sox: its rate, its length and the tone.
    within "$(sox --i -r "$out" 2>/dev/null)" "$rate" "$rate" "$rate Hz, WAV rate"
    within "$(sox --i -s "$out" 2>/dev/null)" "$frames" "$frames" "$rate Hz, WAV frames"
    rough=$(sox "$out" -n remix 1 stat 2>&1 | sed -n 's/^Rough   frequency: *//p')
    within "$rough" 990 1010 "$rate Hz, frequency in the WAV"
    [ "$(head -c 4 "$png" 2>/dev/null | tail -c 3)" = PNG ] && pass ||
        fail "$rate Hz: no spectrogram PNG"
done

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
