#!/bin/bash
# CI step for the Debian package: builds it with CPack, installs it with
# dpkg, captures a test tone through the installed plug-in with the
# installed strovik-probe (against a private PipeWire server), then removes
# the package and checks that none of its files are left. Run as root.
#
# PACKAGE_BUILD_DIR (default ./build-package) may be set in the environment.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD="${PACKAGE_BUILD_DIR:-$ROOT/build-package}"
PACKAGE=strovik-capture
BUNDLE=/usr/lib/vst3/StrovikCapture.vst3
ARCH_DIR=$(uname -m)-linux
FILES="$BUNDLE/Contents/$ARCH_DIR/StrovikCapture.so
$BUNDLE/Contents/Resources/moduleinfo.json
/usr/bin/strovik-probe
/usr/share/doc/$PACKAGE/copyright"

step() { printf '\n=== check-package: %s\n' "$*"; }
fail() {
    echo "check-package: FAILED: $*" >&2
    exit 1
}
installed() { dpkg-query -W -f='${Status}' "$PACKAGE" 2>/dev/null | grep -q 'ok installed'; }

[ "$(id -u)" -eq 0 ] || fail "must run as root (it installs and removes a package)"

WORK=$(mktemp -d /tmp/strovik-package-XXXXXX)
we_installed=
cleanup() {
    if [ -n "$we_installed" ] && installed; then
        echo "check-package: removing $PACKAGE again" >&2
        dpkg -r "$PACKAGE" >/dev/null || true
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT

step "dependencies"
"$ROOT/scripts/install-deps.sh"
command -v dpkg-shlibdeps >/dev/null || fail "dpkg-shlibdeps missing (Debian package dpkg-dev)"

step "build and package in $BUILD"
cmake --log-level=WARNING -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DSTROVIK_INSTALL_USER=OFF -DSTROVIK_BUILD_TESTS=OFF -DSTROVIK_BUILD_BENCHMARKS=OFF
cmake --build "$BUILD" -j "$(nproc)" --target StrovikCapture strovik-probe
rm -f "$BUILD"/${PACKAGE}_*.deb
(cd "$BUILD" && cpack -G DEB)
DEB=$(ls "$BUILD"/${PACKAGE}_*.deb)
echo "$DEB"

step "package metadata and contents"
dpkg-deb --info "$DEB"
field() { dpkg-deb --field "$DEB" "$1"; }
[ "$(field Package)" = "$PACKAGE" ] || fail "Package: $(field Package)"
[ "$(field Section)" = sound ] || fail "Section: $(field Section)"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
[ -n "$(field Description)" ] || fail "no Description"
# Debian 13 renamed the library's package for 64-bit time (t64).
field Depends | grep -qE 'libpipewire-0\.3-0(t64)? \(>= ' || fail "Depends lacks libpipewire-0.3-0: $(field Depends)"
field Depends | grep -q 'libc6 (>= ' || fail "Depends lacks libc6: $(field Depends)"
contents=$(dpkg-deb --contents "$DEB")
while read -r file; do
    grep -q " \.$file\$" <<<"$contents" || fail "$file is not in the package"
done <<<"$FILES"

step "install"
if installed; then
    echo "check-package: $PACKAGE was installed already; removing it first"
    dpkg -r "$PACKAGE"
fi
we_installed=1
if ! dpkg -i "$DEB"; then
    DEBIAN_FRONTEND=noninteractive apt-get install -f -y -qq
fi
installed || fail "$PACKAGE did not install"
while read -r file; do
    [ -e "$file" ] || fail "$file missing after install"
done <<<"$FILES"

step "capture a test tone with the installed probe and plug-in"
# An empty HOME: the probe must find the system bundle on its own.
mkdir -p "$WORK/home"
set +e
HOME="$WORK/home" "$ROOT/scripts/demo-capture.sh" /usr/bin/strovik-probe --seconds 2 \
    --output "$WORK/capture.wav" 2>&1 | tee "$WORK/probe.log"
status=${PIPESTATUS[0]}
set -e
[ "$status" -eq 0 ] || fail "strovik-probe exited $status"
summary=$(cat "$WORK/probe.log")
grep -qF "Module          $BUNDLE" <<<"$summary" || fail "the probe did not load $BUNDLE"
for side in L R; do
    hz=$(sed -n "s/^  channel $side .*dominant \([0-9]*\) Hz.*/\1/p" <<<"$summary")
    [ -n "$hz" ] && [ "$hz" -ge 999 ] && [ "$hz" -le 1001 ] ||
        fail "channel $side: dominant frequency '$hz', expected the 1000 Hz tone"
done
grep -qF "PipeWire        connected" <<<"$summary" || fail "the plug-in did not reach PipeWire"
[ -s "$WORK/capture.wav" ] || fail "no WAV written"

step "remove"
dpkg -r "$PACKAGE"
installed && fail "$PACKAGE still installed after dpkg -r"
while read -r file; do
    [ ! -e "$file" ] || fail "$file left after dpkg -r"
done <<<"$FILES"
[ ! -e "$BUNDLE" ] || fail "$BUNDLE left after dpkg -r"
[ ! -e "/usr/share/doc/$PACKAGE" ] || fail "/usr/share/doc/$PACKAGE left after dpkg -r"

step "all checks passed"
