#!/bin/bash
# Runs a command in a clean clone of this checkout inside a fresh, minimal
# Debian root of another release: how CI proves the project on Debian 13
# while its own machine runs Debian 12. As root.
#
#   scripts/run-in-fresh-debian.sh SUITE [COMMAND]
#   scripts/run-in-fresh-debian.sh trixie                       # ./scripts/test.sh --quick
#   scripts/run-in-fresh-debian.sh trixie ./scripts/install.sh
#
# The root is made with debootstrap from the archive this machine's apt
# sources name, holds only git and ca-certificates besides the minimal base,
# and is removed afterwards (KEEP_ROOT=1 keeps it for a look). Its mounts
# live in a mount namespace of their own, so they vanish with it whatever
# happens; what the command left running in the root is stopped by process
# id. The clone is of HEAD: commit what you want tried.
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
say() { echo "run-in-fresh-debian: $*" >&2; }

# --- Inside the mount namespace: mount, chroot, run. -----------------------
if [ "${1:-}" = --inside ]; then
    target=$2
    shift 2
    # The root made a private mount point of its own, so that nothing
    # mounted below it propagates back out, also where "/" is no mount
    # point (as inside another chroot).
    mount --bind "$target" "$target"
    mount --make-private "$target"
    mount -t proc proc "$target/proc"
    mount -t sysfs -o ro sys "$target/sys"
    # A /dev of its own, with only the nodes a build and its tests use: the
    # host's is never bound in, so nothing done in the root can reach it.
    mount -t tmpfs -o mode=0755,nosuid dev "$target/dev"
    for node in null:1:3 zero:1:5 full:1:7 random:1:8 urandom:1:9 tty:5:0; do
        IFS=: read -r name major minor <<<"$node"
        mknod -m 0666 "$target/dev/$name" c "$major" "$minor"
    done
    mkdir -p "$target/dev/pts" "$target/dev/shm"
    mount -t devpts -o newinstance,ptmxmode=0666 devpts "$target/dev/pts"
    ln -s pts/ptmx "$target/dev/ptmx"
    mount -t tmpfs -o mode=1777 shm "$target/dev/shm"
    mount -t tmpfs -o mode=1777 tmp "$target/tmp"
    exec chroot "$target" /usr/bin/env -i \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        HOME=/root TERM=dumb ${CI:+CI="$CI"} \
        bash -c 'cd /srv/project && eval "$1"' run "$*"
fi

# --- Outside: make the root, run the command in it, clean up. --------------
[ $# -ge 1 ] || { sed -n '6,8s/^# \{0,1\}//p' "$0" >&2; exit 2; }
SUITE=$1
shift
COMMAND=${*:-./scripts/test.sh --quick}
[ "$(id -u)" -eq 0 ] || { say "needs root (debootstrap, chroot, mounts)"; exit 2; }

. "$ROOT/scripts/lib/debian-archive.sh"
ARCHIVE=$(debian_archive)
[ -n "$ARCHIVE" ] || { say "no Debian archive found in the apt sources"; exit 2; }
if ! command -v debootstrap >/dev/null; then
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap
fi

TARGET=$(mktemp -d "${TMPDIR:-/var/tmp}/strovik-$SUITE.XXXXXX")
LOG=$TARGET.log

# Whatever still runs with the root as its root directory was started by
# the command: stopped by process id, TERM first, then KILL.
stop_leftovers() {
    local sig pid pids
    for sig in TERM KILL; do
        pids=
        for pid in /proc/[0-9]*; do
            [ "$(readlink "$pid/root" 2>/dev/null)" = "$TARGET" ] && pids="$pids ${pid#/proc/}"
        done
        [ -n "$pids" ] || return 0
        say "stopping what the command left running ($sig):$pids"
        # shellcheck disable=SC2086  # one argument per process id
        kill -"$sig" $pids 2>/dev/null || true
        sleep 2
    done
}

cleanup() {
    local rc=$?
    stop_leftovers
    if [ -n "${KEEP_ROOT:-}" ]; then
        say "root kept in $TARGET"
    elif grep -qF " $TARGET/" /proc/self/mounts; then
        # Never remove a tree with something still mounted in it.
        say "something is still mounted in $TARGET: left in place"
    else
        rm -rf "$TARGET"
    fi
    # The set-up log is kept only when something failed.
    [ "$rc" -ne 0 ] || rm -f "$LOG"
}
trap cleanup EXIT

SECONDS=0
say "making a $SUITE root in $TARGET from $ARCHIVE (log: $LOG)"
if ! debootstrap --variant=minbase "$SUITE" "$TARGET" "$ARCHIVE" >"$LOG" 2>&1; then
    tail -n 20 "$LOG" >&2
    say "debootstrap failed"
    exit 1
fi
rm -f "$TARGET/etc/apt/sources.list.d/"*
echo "deb $ARCHIVE $SUITE main" >"$TARGET/etc/apt/sources.list"
# Name resolution for apt inside the root.
cp /etc/resolv.conf "$TARGET/etc/resolv.conf" 2>/dev/null || true
chroot "$TARGET" apt-get update -qq >>"$LOG" 2>&1 &&
    DEBIAN_FRONTEND=noninteractive chroot "$TARGET" \
        apt-get install -y -qq --no-install-recommends git ca-certificates >>"$LOG" 2>&1 ||
    { tail -n 20 "$LOG" >&2; say "installing git into the root failed"; exit 1; }
git clone -q "$ROOT" "$TARGET/srv/project"
say "root ready after ${SECONDS}s: $(cat "$TARGET/etc/debian_version"), running: $COMMAND"

set +e
unshare --mount --propagation unchanged "$0" --inside "$TARGET" "$COMMAND"
rc=$?
set -e
say "$SUITE: exit $rc after ${SECONDS}s in all"
exit $rc
