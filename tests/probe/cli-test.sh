#!/bin/bash
# strovik-probe as a user meets it: help, bad arguments, every kind of
# wrong module, an output it cannot write, a missing sox, and Ctrl-C and
# SIGTERM in the middle of a run. Runs with no PipeWire server reachable,
# so the plug-in loads and puts out silence.
#
#   cli-test.sh PROBE BUNDLE OTHER_BUNDLE NOT_A_MODULE_SO SCRATCH_PARENT
set -u

PROBE=$1 BUNDLE=$2 OTHER=$3 NOT_A_MODULE=$4
WORK=$(mktemp -d "$5/probe-cli-XXXXXX")
trap 'rm -rf "$WORK"' EXIT

failures=0
passes=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { passes=$((passes + 1)); }

# run EXPECTED_STATUS ARGS...: runs the probe, keeps its output in $OUT/$ERR.
run() {
    local expected=$1 status
    shift
    "$PROBE" "$@" >"$WORK/out" 2>"$WORK/err" </dev/null
    status=$?
    OUT=$(<"$WORK/out")
    ERR=$(<"$WORK/err")
    if [ "$status" -ne "$expected" ]; then
        fail "strovik-probe $* exited $status, expected $expected; stderr: $ERR"
        return 1
    fi
    pass
}

# expect TEXT WHERE DESCRIPTION
expect() {
    if grep -qF -- "$1" <<<"$2"; then pass; else fail "$3: no '$1' in: $2"; fi
}

# --- help and bad arguments: nothing is loaded, status 2
run 0 --help && expect "Usage: strovik-probe [options] [BUNDLE]" "$OUT" "--help"
for args in "--seconds 0" "--rate abc" "--block 100000" "--output" "--frobnicate" \
    "a.vst3 b.vst3" "--help=1"; do
    # shellcheck disable=SC2086  # split into arguments on purpose
    if run 2 $args; then
        expect "Try 'strovik-probe --help'." "$ERR" "$args"
        [ -z "$OUT" ] || fail "$args printed on stdout: $OUT"
    fi
done

# --- modules it must refuse
run 3 "$WORK/nothing-here.vst3" && expect "no such file or directory" "$ERR" "missing bundle"
echo "not a library" >"$WORK/text.so"
run 4 "$WORK/text.so" && expect "cannot load $WORK/text.so as a VST 3 module: dlopen" "$ERR" "text file"
run 4 "$NOT_A_MODULE" && expect "exports no GetPluginFactory" "$ERR" "library without entry points"
mkdir -p "$WORK/Empty.vst3/Contents"
run 4 "$WORK/Empty.vst3" && expect "has no module for this machine" "$ERR" "empty bundle"
run 4 "$WORK" && expect "is a directory, not a .vst3 bundle" "$ERR" "plain directory"
if run 5 "$OTHER"; then
    expect 'has no "Strovik Capture" class of category "Audio Module Class"' "$ERR" "other module"
    expect "[0] Other Effect" "$OUT" "other module's classes listed"
fi

# --- the output cannot be written: refused before the run starts
if run 7 --output "$WORK/no-such-dir/x.wav" "$BUNDLE"; then
    expect "cannot create $WORK/no-such-dir/x.wav" "$ERR" "unwritable output"
    grep -qF "Capturing" <<<"$OUT" && fail "ran although the output cannot be written"
fi

# --- the default bundle: the user's own comes first
mkdir -p "$WORK/home/.vst3"
ln -s "$BUNDLE" "$WORK/home/.vst3/StrovikCapture.vst3"
if HOME="$WORK/home" run 0 --seconds 0.3 --output "$WORK/default.wav"; then
    expect "Module          $WORK/home/.vst3/StrovikCapture.vst3" "$OUT" "default bundle"
    expect "[0] Strovik Capture" "$OUT" "class records"
    expect "SDK version     VST 3." "$OUT" "class records"
    expect "PipeWire        NOT reachable" "$OUT" "no server"
    expect "silent blocks   all 29: no sound came through" "$OUT" "no server"
fi

# --- no sox: the WAV and summary are still there, status 8
if PATH=/nonexistent run 8 --seconds 0.2 --output "$WORK/nosox.wav" \
    --spectrogram "$WORK/nosox.png" "$BUNDLE"; then
    expect "sox is not installed" "$ERR" "missing sox"
    expect "Summary" "$OUT" "missing sox"
    [ -s "$WORK/nosox.wav" ] || fail "no WAV without sox"
    [ -e "$WORK/nosox.png" ] && fail "a PNG without sox"
fi

# --- Ctrl-C and SIGTERM end a long run cleanly, with WAV and summary
for signal in INT TERM; do
    "$PROBE" --seconds 60 --output "$WORK/$signal.wav" "$BUNDLE" >"$WORK/$signal.out" 2>&1 &
    pid=$!
    for _ in $(seq 100); do
        grep -q "^t=1.0s" "$WORK/$signal.out" && break
        sleep 0.1
    done
    kill -"$signal" "$pid"
    for _ in $(seq 100); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$pid" 2>/dev/null; then
        fail "SIG$signal: still running after 10 s"
        kill -KILL "$pid"
    fi
    wait "$pid"
    status=$?
    [ "$status" -eq 0 ] && pass || fail "SIG$signal: exit status $status"
    name=$([ "$signal" = INT ] && echo Ctrl-C || echo SIGTERM)
    expect "stopped early by $name" "$(cat "$WORK/$signal.out")" "SIG$signal"
    # 1 to 5 s of stereo float, not the 60 s asked for.
    bytes=$(stat -c %s "$WORK/$signal.wav" 2>/dev/null || echo 0)
    if [ "$bytes" -gt $((48000 * 8)) ] && [ "$bytes" -lt $((5 * 48000 * 8)) ]; then
        pass
    else
        fail "SIG$signal: WAV of $bytes bytes"
    fi
done

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
