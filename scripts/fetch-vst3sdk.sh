#!/bin/sh
# Fetches the VST 3 SDK sources from Debian's archive (source package
# vst3sdk of Debian 13), checks them against pinned SHA-256 values and
# unpacks them into third_party/vst3sdk. Does nothing when that exact
# version is already unpacked there. The machine's apt configuration is
# left alone: the tarballs come straight from the archive's pool with
# apt's own downloader, which verifies each hash as it fetches.
set -eu

VERSION='3.7.10.14+~4.13.3'
ROOT=$(cd "$(dirname "$0")/.." && pwd)
DEST="${1:-$ROOT/third_party/vst3sdk}"
STAMP="$DEST/.debian-source-version"

if [ -f "$STAMP" ] && [ "$(cat "$STAMP")" = "$VERSION" ]; then
    echo "vst3sdk $VERSION already in $DEST"
    exit 0
fi

# component (empty for the top-level tarball), folder inside the SDK, SHA-256
TARBALLS='
-|.|0c9fa7b578f8549d6ce6efeb427e9c7df8ca0e018bea13a523b78bb167663b81
base|base|b9eb5c1e57ca2ef6b2560dd0e13822dd5a51e437b8f5a6c421b099d621d2bffb
cmake|cmake|f4699e910a67e585d7d177b2a48f6aa43706b3f073c8e454615f094484374349
pluginterfaces|pluginterfaces|fd426c6b26ef93fdfdc8aef7e9b836c1bf43f25b8a1ef4c0642a41fb9250ab8a
public-sdk|public.sdk|ca1f70406b36f0763c799085c67deed5befc69514cc2b9cacb804512e95db335
'

. "$ROOT/scripts/lib/debian-archive.sh"
BASE=$(debian_archive)
if [ -z "$BASE" ]; then
    echo "fetch-vst3sdk: no Debian archive found in the apt sources" >&2
    exit 1
fi
POOL="$BASE/pool/main/v/vst3sdk"

DOWNLOADS=$(mktemp -d)
trap 'rm -rf "$DOWNLOADS"' EXIT
# apt drops privileges to _apt for downloads; let it write here.
chmod 0777 "$DOWNLOADS"

STAGE="$DEST.new"
rm -rf "$STAGE"
mkdir -p "$STAGE"

echo "$TARBALLS" | while IFS='|' read -r component folder sha; do
    [ -n "$component" ] || continue
    if [ "$component" = - ]; then
        file="vst3sdk_${VERSION}.orig.tar.gz"
    else
        file="vst3sdk_${VERSION}.orig-${component}.tar.gz"
    fi
    /usr/lib/apt/apt-helper download-file "$POOL/$file" "$DOWNLOADS/$file" "SHA256:$sha"
    # apt-helper checks the hash; check again so a changed downloader
    # cannot let an unverified file through.
    echo "$sha  $DOWNLOADS/$file" | sha256sum -c --quiet -
    mkdir -p "$STAGE/$folder"
    tar -xzf "$DOWNLOADS/$file" -C "$STAGE/$folder" --strip-components=1
done

echo "$VERSION" > "$STAGE/.debian-source-version"
rm -rf "$DEST"
mv "$STAGE" "$DEST"
echo "vst3sdk $VERSION unpacked into $DEST"
