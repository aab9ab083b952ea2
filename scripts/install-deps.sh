#!/bin/sh
# Installs, from Debian's archive, what building and testing the plug-in
# needs (plus any packages named as arguments), then fetches the VST 3 SDK
# sources (scripts/fetch-vst3sdk.sh). "file" is there for CPack's Debian
# package step. Safe to run again: apt and the fetch
# script skip what is already there.
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo

PACKAGES="build-essential cmake pkg-config ca-certificates libpipewire-0.3-dev \
libgtest-dev libbenchmark-dev libzita-resampler-dev pipewire pipewire-bin pipewire-jack libjack-jackd2-dev wireplumber sox file $*"

missing=
for p in $PACKAGES; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing="$missing $p"
done
if [ -n "$missing" ]; then
    echo "Installing:$missing"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
fi

"$ROOT/scripts/fetch-vst3sdk.sh"
