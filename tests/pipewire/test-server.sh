#!/bin/bash
# Starts and stops a private PipeWire server with WirePlumber for tests, so
# they need no desktop session, no D-Bus session bus and no sound card, and
# never touch the developer's own audio setup.
#
#   test-server.sh start DIR   start both under DIR; prints export lines:
#                                eval "$(tests/pipewire/test-server.sh start DIR)"
#   test-server.sh start-bare DIR  the server alone: no session manager, nothing linked
#   test-server.sh restart-session-manager DIR [SIGNAL]
#                              stop the session manager with SIGNAL (TERM,
#                                as a service restart does; KILL, as a crash)
#                                and start it again on the running server
#   test-server.sh stop DIR    stop what start recorded in DIR (safe to repeat)
#   test-server.sh env DIR     print the export lines again
#   test-server.sh available   exit 0 when the needed programs are installed
#
# The graph has two silent stereo 48 kHz sinks, "strovik-test-sink" (the
# default) and "strovik-test-sink-2", and a silent default source,
# "strovik-test-source". Only the export lines go to stdout.
set -u

SINK=strovik-test-sink
SINK2=strovik-test-sink-2
SOURCE=strovik-test-source
READY_TIMEOUT_MS=10000
STOP_TIMEOUT_MS=3000

say() { echo "test-server: $*" >&2; }
die() { say "$*"; exit 1; }
now_ms() { echo $(( $(date +%s%N) / 1000000 )); }

usage() {
    sed -n '6,15s/^#//p' "$0" >&2
    exit 2
}

available() {
    local missing="" p
    for p in pipewire wireplumber pw-metadata pw-play pw-cat timeout; do
        command -v "$p" >/dev/null 2>&1 || missing="$missing $p"
    done
    [ -z "$missing" ] && return 0
    say "missing:$missing (Debian packages pipewire, pipewire-bin, wireplumber)"
    return 1
}

# Absolute, because the exported paths must still hold after the caller cds.
resolve_dir() {
    mkdir -p "$1" && (cd "$1" && pwd -P)
}

print_env() {
    printf 'export PIPEWIRE_RUNTIME_DIR=%q\n' "$1/run"
    printf 'export XDG_RUNTIME_DIR=%q\n' "$1/run"
    # A remote name inherited from the caller would win over the runtime dir.
    echo 'unset PIPEWIRE_REMOTE'
}

# Prints the PID in pid file $1 if it still is program $2 of this DIR. PIDs
# are reused, and another test server may be running in a different DIR, so
# the name alone is not enough: its environment must name our runtime dir.
# A zombie has an empty environment and so counts as gone.
our_pid() {
    local pid
    pid=$(cat "$1" 2>/dev/null) || return 1
    case $pid in '' | *[!0-9]*) return 1 ;; esac
    [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = "$2" ] || return 1
    tr '\0' '\n' 2>/dev/null <"/proc/$pid/environ" |
        grep -qxF "PIPEWIRE_RUNTIME_DIR=$RUN" || return 1
    echo "$pid"
}

running_pids() {
    # shellcheck disable=SC2046  # unquoted so that a missing PID leaves no gap
    echo $(our_pid "$DIR/wireplumber.pid" wireplumber) $(our_pid "$DIR/pipewire.pid" pipewire)
}

# True while any thread of PID $1 has not yet exited. A process that has let
# go of its memory no longer shows its environment but may still hold files.
running() {
    grep -q '^State:[[:space:]]*[^[:space:]Z]' "/proc/$1"/task/*/status 2>/dev/null
}

still_running() {
    local p
    for p in "$@"; do running "$p" && printf ' %s' "$p"; done
}

stop() {
    local pids left t0 elapsed sent=TERM
    # Who is ours is decided once: from then on the PIDs are followed as such.
    pids=$(running_pids)
    # shellcheck disable=SC2086  # the PID lists are meant to split
    if [ -n "$pids" ]; then
        kill -TERM $pids 2>/dev/null
        t0=$(now_ms)
        while left=$(still_running $pids); [ -n "$left" ]; do
            elapsed=$(( $(now_ms) - t0 ))
            if [ "$sent" = TERM ] && [ "$elapsed" -ge "$STOP_TIMEOUT_MS" ]; then
                say "still running after $STOP_TIMEOUT_MS ms, sending KILL to$left"
                kill -KILL $left 2>/dev/null; sent=KILL
            elif [ "$elapsed" -ge $(( STOP_TIMEOUT_MS + 2000 )) ]; then
                # Keep the pid files so a later stop can try again.
                die "could not stop$left"
            fi
            sleep 0.02
        done
    fi
    rm -f "$DIR/wireplumber.pid" "$DIR/pipewire.pid"
}

# The installed PipeWire's series, e.g. "0.3" or "1.4".
pipewire_series() {
    pipewire --version 2>/dev/null |
        sed -n 's/^Linked with libpipewire \([0-9]*\.[0-9]*\).*/\1/p' | head -n 1
}

# The installed WirePlumber's series, e.g. "0.4" or "0.5": each reads its
# own configuration format (0.4 Lua fragments, 0.5 SPA-JSON), so the one
# written must follow what is installed, not the distribution's name.
wireplumber_series() {
    wireplumber --version 2>/dev/null |
        sed -n 's/^Linked with libwireplumber \([0-9]*\.[0-9]*\).*/\1/p' | head -n 1
}

write_pipewire_config() {
    mkdir -p "$DIR/config/pipewire/pipewire.conf.d"
    cat >"$DIR/config/pipewire/pipewire.conf.d/50-strovik-test.conf" <<EOF
# Pinned so a rate set elsewhere on the machine cannot change what tests see.
context.properties = {
    default.clock.rate = 48000
}

# Null sinks drive the graph from a timer, so no sound card is needed. The
# higher priorities make the first one the default sink; the second lets
# tests switch the default.
context.objects = [
    { factory = adapter
        args = {
            factory.name     = support.null-audio-sink
            node.name        = "$SINK"
            node.description = "Strovik test sink"
            media.class      = "Audio/Sink"
            audio.position   = [ FL FR ]
            audio.rate       = 48000
            priority.session = 2000
            priority.driver  = 2000
        }
    }
    { factory = adapter
        args = {
            factory.name     = support.null-audio-sink
            node.name        = "$SINK2"
            node.description = "Strovik test sink 2"
            media.class      = "Audio/Sink"
            audio.position   = [ FL FR ]
            audio.rate       = 48000
            priority.session = 1000
            priority.driver  = 1000
        }
    }
    # A silent default source. Without one the default source is the first
    # sink's monitor, and a capture that forgets to ask for the sink monitor
    # would still hear the desktop audio and pass. WirePlumber 0.5 weighs
    # sinks (for their monitors) and sources alike when it picks the default
    # source, so this one must outrank the sinks, not tie with them.
    { factory = adapter
        args = {
            factory.name     = support.null-audio-sink
            node.name        = "$SOURCE"
            node.description = "Strovik test source"
            media.class      = "Audio/Source/Virtual"
            audio.position   = [ FL FR ]
            audio.rate       = 48000
            priority.session = 3000
        }
    }
]
EOF
}

# WirePlumber 0.4: Lua fragments.
write_wireplumber_lua_config() {
    mkdir -p "$DIR/config/wireplumber/main.lua.d" "$DIR/config/wireplumber/bluetooth.lua.d"
    # The name must sort after the stock 50-*-config.lua files and before
    # 90-enable-all.lua, which acts on these switches: a 90-strovik-* file
    # would run too late and change nothing.
    cat >"$DIR/config/wireplumber/main.lua.d/60-strovik-test.lua" <<'EOF'
-- Both of these need a D-Bus session bus; WirePlumber exits with status 70
-- when either is left on and there is none.
default_access.properties["enable-flatpak-portal"] = false
alsa_monitor.properties["alsa.reserve"] = false

-- Only the nodes declared in pipewire.conf.d may appear, whatever hardware
-- the machine has.
alsa_monitor.enabled = false
v4l2_monitor.enabled = false
libcamera_monitor.enabled = false
EOF

    cat >"$DIR/config/wireplumber/bluetooth.lua.d/60-strovik-test.lua" <<'EOF'
-- Bluetooth would need the system bus and could add real devices.
bluez_monitor.enabled = false
EOF
}

# WirePlumber 0.5 and later: an SPA-JSON fragment that switches features of
# the "main" profile off.
write_wireplumber_json_config() {
    mkdir -p "$DIR/config/wireplumber/wireplumber.conf.d"
    cat >"$DIR/config/wireplumber/wireplumber.conf.d/60-strovik-test.conf" <<'EOF'
wireplumber.profiles = {
    main = {
        # Only the nodes declared in pipewire.conf.d may appear, whatever
        # hardware the machine has; Bluetooth would also need the system bus.
        hardware.audio = disabled
        hardware.bluetooth = disabled
        hardware.video-capture = disabled

        # Everything that needs a D-Bus bus, of which there is none.
        support.dbus = disabled
        support.reserve-device = disabled
        monitor.alsa.reserve-device = disabled
        support.portal-permissionstore = disabled
        script.client.access-portal = disabled
        support.logind = disabled
        monitor.bluez.seat-monitoring = disabled
    }
}
EOF
}

write_config() {
    write_pipewire_config
    case $(wireplumber_series) in
        0.4) write_wireplumber_lua_config ;;
        "") say "cannot tell the installed WirePlumber's version"; return 1 ;;
        *) write_wireplumber_json_config ;;
    esac
}

# $1 = program; output goes to DIR/<program>.log, its PID to DIR/<program>.pid.
launch() {
    local passthrough=() v
    # Debug switches are the one thing worth passing on from the caller.
    for v in PIPEWIRE_DEBUG WIREPLUMBER_DEBUG; do
        [ -n "${!v:-}" ] && passthrough+=("$v=${!v}")
    done
    # Otherwise a 0.3 server reports every client late for a graph cycle
    # ("client too slow!": the first in two seconds at info, the others at
    # debug): what a loaded machine cost, told apart from what a client
    # lost by itself. 1.x does not wait for streams and reports none, and
    # its debug lines would only slow it down.
    if [ "$1" = pipewire ] && [ -z "${PIPEWIRE_DEBUG:-}" ] &&
        [ "$(pipewire_series)" = 0.3 ]; then
        passthrough+=("PIPEWIRE_DEBUG=2,pw.node:4")
    fi
    # A clean environment keeps out the caller's session bus address and
    # DISPLAY (which would reach the real desktop) and any PIPEWIRE_* setting;
    # HOME inside DIR leaves nothing to fall back on in the real home.
    env -i PATH="$PATH" HOME="$DIR" \
        XDG_RUNTIME_DIR="$RUN" PIPEWIRE_RUNTIME_DIR="$RUN" \
        XDG_CONFIG_HOME="$DIR/config" XDG_STATE_HOME="$DIR/state" \
        "${passthrough[@]}" \
        "$1" </dev/null >"$DIR/$1.log" 2>&1 &
    echo $! >"$DIR/$1.pid"
}

# While start runs, a program may not have been exec'd yet (it still has
# this script's name), which our_pid would take for gone.
child_alive() {
    running "$(cat "$DIR/$1.pid")"
}

defaults_ready() {
    local meta
    meta=$(timeout 2 pw-metadata 0 2>/dev/null)
    grep -qF "'default.audio.sink' value:'{\"name\":\"$SINK\"}'" <<<"$meta" &&
        grep -qF "'default.audio.source' value:'{\"name\":\"$SOURCE\"}'" <<<"$meta"
}

fail_start() {
    say "$*"
    local log
    for log in pipewire wireplumber; do
        [ -s "$DIR/$log.log" ] && { say "--- tail of $DIR/$log.log (debug lines left out)"; grep -v "^\[D\]" "$DIR/$log.log" | tail -n 15 >&2; }
    done
    stop
    exit 1
}

# $1 = "bare" starts the server alone: with no session manager nothing is
# ever linked, which is a state the plug-in must survive too.
start() {
    local t0 deadline mode=${1:-}
    available || exit 1
    # The socket path must fit in sockaddr_un (108 bytes).
    [ ${#RUN} -le 90 ] || die "DIR path too long for a socket: $RUN"
    [ -z "$(running_pids)" ] || die "already running in $DIR (stop it first)"
    # Fresh every time: WirePlumber restores saved stream volumes and
    # default devices from its state, which would leak between runs.
    rm -rf "$RUN" "$DIR/config" "$DIR/state"
    { mkdir -p "$RUN" "$DIR/state" && chmod 700 "$RUN"; } || die "cannot create dirs in $DIR"
    write_config || die "cannot write the configuration in $DIR"

    t0=$(now_ms)
    # An interrupted start must not leave half a server behind.
    trap 'fail_start "interrupted"' INT TERM HUP
    launch pipewire
    # WirePlumber exits (status 69) if it cannot connect, so wait for the socket.
    deadline=$(( t0 + READY_TIMEOUT_MS ))
    until [ -S "$RUN/pipewire-0" ]; do
        child_alive pipewire || fail_start "pipewire exited during start-up"
        [ "$(now_ms)" -lt "$deadline" ] || fail_start "no pipewire socket after ${READY_TIMEOUT_MS} ms"
        sleep 0.01
    done
    if [ "$mode" = bare ]; then
        trap - INT TERM HUP
        say "ready in $(( $(now_ms) - t0 )) ms (pipewire $(cat "$DIR/pipewire.pid"), no session manager)"
        print_env "$DIR"
        return
    fi
    launch wireplumber
    # The defaults are chosen last, so once they are set the graph is usable.
    until defaults_ready; do
        child_alive pipewire || fail_start "pipewire exited during start-up"
        child_alive wireplumber || fail_start "wireplumber exited during start-up"
        [ "$(now_ms)" -lt "$deadline" ] || fail_start "defaults not $SINK and $SOURCE after ${READY_TIMEOUT_MS} ms"
        sleep 0.02
    done
    trap - INT TERM HUP
    say "ready in $(( $(now_ms) - t0 )) ms (pipewire $(cat "$DIR/pipewire.pid"), wireplumber $(cat "$DIR/wireplumber.pid"))"
    print_env "$DIR"
}

# Stops the session manager alone and starts it again, as a user's
# "restart wireplumber" does: the server, its nodes and its clients' links
# stay; the session manager's own objects (the "default" metadata among
# them) go and are made anew.
restart_session_manager() {
    local pid t0 signal=${1:-TERM}
    pid=$(our_pid "$DIR/wireplumber.pid" wireplumber) || die "no session manager runs in $DIR"
    [ -n "$(our_pid "$DIR/pipewire.pid" pipewire)" ] || die "no server runs in $DIR"
    kill -"$signal" "$pid" 2>/dev/null
    t0=$(now_ms)
    while running "$pid"; do
        [ $(( $(now_ms) - t0 )) -lt "$STOP_TIMEOUT_MS" ] || { kill -KILL "$pid" 2>/dev/null; }
        sleep 0.01
    done
    t0=$(now_ms)
    launch wireplumber
    until defaults_ready; do
        child_alive wireplumber || die "wireplumber exited during start-up"
        [ $(( $(now_ms) - t0 )) -lt "$READY_TIMEOUT_MS" ] || die "defaults not set again after ${READY_TIMEOUT_MS} ms"
        sleep 0.02
    done
    say "session manager ready again in $(( $(now_ms) - t0 )) ms (wireplumber $(cat "$DIR/wireplumber.pid"))"
}

cmd=${1:-}
case $cmd in
    available) [ $# -eq 1 ] || usage; available; exit ;;
    start | start-bare | stop | env) { [ $# -eq 2 ] && [ -n "$2" ]; } || usage ;;
    restart-session-manager) { [ $# -ge 2 ] && [ $# -le 3 ] && [ -n "$2" ]; } || usage ;;
    *) usage ;;
esac

if [ "$cmd" = start ] || [ "$cmd" = start-bare ]; then
    DIR=$(resolve_dir "$2") || die "cannot create $2"
elif [ -d "$2" ]; then
    DIR=$(cd "$2" && pwd -P)
else
    # Nothing was ever started there.
    [ "$cmd" = stop ] && exit 0
    die "no such directory: $2"
fi
RUN=$DIR/run
# Our own pw-metadata calls must reach this server, not the caller's.
export PIPEWIRE_RUNTIME_DIR=$RUN XDG_RUNTIME_DIR=$RUN
unset PIPEWIRE_REMOTE

case $cmd in
    start) start ;;
    start-bare) start bare ;;
    stop) stop ;;
    env) print_env "$DIR" ;;
    restart-session-manager) restart_session_manager "${3:-TERM}" ;;
esac
