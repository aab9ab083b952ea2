#!/bin/bash
# Self-check for test-server.sh: two private servers side by side, a sine
# played into the default sink comes back unchanged through its monitor, the
# default sink can be switched, and stop leaves nothing running. Exits
# non-zero on any failure.
set -u

HERE=$(cd "$(dirname "$0")" && pwd)
SRV=$HERE/test-server.sh
PASS=0
FAIL=0

ok() { PASS=$((PASS + 1)); echo "ok   - $*"; }
bad() { FAIL=$((FAIL + 1)); echo "FAIL - $*"; }
check() { local what=$1; shift; if "$@"; then ok "$what"; else bad "$what"; fi; }
# Prints a value from `sox stat`, which writes to stderr.
stat_of() { sox "$1" -n "${@:3}" stat 2>&1 | awk -F: -v k="$2" '$1 ~ "^"k {gsub(/ /, "", $2); print $2}'; }
between() { awk -v v="$1" -v lo="$2" -v hi="$3" 'BEGIN { exit !(v != "" && v >= lo && v <= hi) }'; }
not() { ! "$@" >/dev/null 2>&1; }
# Some thread of PID $1 has not exited yet (zombies do not count).
alive() { [ -n "$1" ] && grep -q '^State:[[:space:]]*[^[:space:]Z]' "/proc/$1"/task/*/status 2>/dev/null; }
both_alive() { alive "$1" && alive "$2"; }
both_gone() { ! alive "$1" && ! alive "$2"; }
# Runs a client of server $1 (a DIR), with the environment `env` prints.
in_server() { (eval "$("$SRV" env "$1")" && "${@:2}"); }
# DIR KEY NAME: waits, as the session manager applies changes asynchronously.
wait_default() {
    for _ in $(seq 100); do
        in_server "$1" timeout 2 pw-metadata 0 "$2" 2>/dev/null |
            grep -qF "value:'{\"name\":\"$3\"}'" && return 0
        sleep 0.05
    done
    return 1
}
# A stop that needed KILL would point to a server that hangs on TERM.
clean_stop() { local err; err=$("$SRV" stop "$1" 2>&1) && ! grep -q KILL <<<"$err"; }
# Live processes (not zombies) whose environment names directory $1.
leftovers() {
    local p
    for p in /proc/[0-9]*; do
        [ "${p#/proc/}" = $$ ] && continue
        alive "${p#/proc/}" || continue
        tr '\0' '\n' 2>/dev/null <"$p/environ" | grep -qF "PIPEWIRE_RUNTIME_DIR=$1/" &&
            echo "${p#/proc/} $(cat "$p/comm" 2>/dev/null)"
    done
}

# Without the programs this skips (77, as CTest is told) on a developer's
# machine and fails in CI, like the tests that use the server.
missing() {
    echo "SKIPPED: $*"
    [ "${CI:-}" = true ] && exit 1
    exit 77
}
"$SRV" available || missing "PipeWire test server programs missing"
command -v sox >/dev/null || missing "sox is missing (Debian package sox)"

TMP=$(mktemp -d)
A=$TMP/a
B=$TMP/b
trap '"$SRV" stop "$A"; "$SRV" stop "$B"; rm -rf "$TMP"' EXIT

# Both at once, to show that two servers do not get in each other's way.
"$SRV" start "$A" >"$TMP/a.env" & start_a=$!
"$SRV" start "$B" >"$TMP/b.env" & start_b=$!
check "start A" wait "$start_a"
check "start B" wait "$start_b"
check "start prints PIPEWIRE_RUNTIME_DIR" grep -qx "export PIPEWIRE_RUNTIME_DIR=$A/run" "$TMP/a.env"
PW_A=$(cat "$A/pipewire.pid" 2>/dev/null); WP_A=$(cat "$A/wireplumber.pid" 2>/dev/null)
PW_B=$(cat "$B/pipewire.pid" 2>/dev/null); WP_B=$(cat "$B/wireplumber.pid" 2>/dev/null)
check "A's pipewire and wireplumber run" both_alive "$PW_A" "$WP_A"
check "B's pipewire and wireplumber run" both_alive "$PW_B" "$WP_B"
check "a second start in A is refused" not "$SRV" start "$A"
check "A's default sink is strovik-test-sink" wait_default "$A" default.audio.sink strovik-test-sink
check "A's default source is strovik-test-source" wait_default "$A" default.audio.source strovik-test-source

# 1 s of 1 kHz at -6 dB (peak 0.5), in the format the graph runs at. The
# silence after it is there because pw-play drops its last, partial quantum.
sox -n -r 48000 -c 2 -b 32 -e floating-point "$TMP/sine.wav" \
    synth 1 sine 1000 gain -6 pad 0 0.1
# Records the monitor of A's default sink; a plain command, not a function,
# so that $! is timeout's own PID. Playing starts only once the recorder is
# writing, or the start of the tone could be missed.
env -u PIPEWIRE_REMOTE PIPEWIRE_RUNTIME_DIR="$A/run" XDG_RUNTIME_DIR="$A/run" \
    timeout 20 pw-record \
    -P '{ stream.capture.sink=true }' --rate 48000 --channels 2 --format f32 \
    "$TMP/rec.wav" 2>"$TMP/rec.log" & rec=$!
for _ in $(seq 100); do
    [ "$(stat -c %s "$TMP/rec.wav" 2>/dev/null || echo 0)" -gt 20000 ] && break
    sleep 0.05
done
check "recorder is running" alive "$rec"
check "pw-play plays into A" in_server "$A" timeout 10 pw-play "$TMP/sine.wav"
sleep 0.2   # let the last buffers reach the file
# TERM, not INT: a background job ignores SIGINT. timeout passes TERM on,
# and pw-record completes the WAV header when it gets it.
kill -TERM "$rec"
wait "$rec"
# Else the WAV header may not yet hold the length of the data.
check "recorder has finished" not grep -w pw-record <(leftovers "$TMP")
check "recording is 48 kHz" [ "$(sox --i -r "$TMP/rec.wav" 2>/dev/null)" = 48000 ]
check "recording is stereo" [ "$(sox --i -c "$TMP/rec.wav" 2>/dev/null)" = 2 ]
# Cut the silence before and after the tone, then look at the tone alone, one
# channel at a time: on interleaved stereo sox's frequency estimate is off.
for ch in 1 2; do
    TONE=(remix "$ch" silence 1 0.001 1% reverse silence 1 0.001 1% reverse)
    len=$(stat_of "$TMP/rec.wav" "Length" "${TONE[@]}")
    peak=$(stat_of "$TMP/rec.wav" "Maximum amplitude" "${TONE[@]}")
    freq=$(stat_of "$TMP/rec.wav" "Rough" "${TONE[@]}")
    echo "     channel $ch: tone of ${len:-?} s, peak ${peak:-?}, ~${freq:-?} Hz"
    check "channel $ch: tone lasts about 1 s" between "$len" 0.999 1.001
    check "channel $ch: peak about 0.5 (volume untouched)" between "$peak" 0.45 0.55
    check "channel $ch: about 1 kHz" between "$freq" 950 1050
done

# The session manager turns the configured default into the actual one.
in_server "$A" timeout 2 pw-metadata 0 default.configured.audio.sink \
    '{ "name": "strovik-test-sink-2" }' Spa:String:JSON >/dev/null
check "A's default sink follows to strovik-test-sink-2" wait_default "$A" default.audio.sink strovik-test-sink-2
check "B's default sink is unchanged" wait_default "$B" default.audio.sink strovik-test-sink

check "stop B" clean_stop "$B"
check "B's processes are gone" both_gone "$PW_B" "$WP_B"
check "A still runs after B stopped" both_alive "$PW_A" "$WP_A"
check "A still answers" wait_default "$A" default.audio.sink strovik-test-sink-2
check "stop A" clean_stop "$A"
check "A's processes are gone" both_gone "$PW_A" "$WP_A"
check "pid files are removed" not ls "$A/pipewire.pid" "$A/wireplumber.pid"
check "stop again is harmless" "$SRV" stop "$A"
left=$(leftovers "$TMP")
check "nothing left running${left:+: $left}" [ -z "$left" ]

echo "$PASS passed, $FAIL failed"
[ "$FAIL" -eq 0 ]
