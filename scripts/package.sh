#!/usr/bin/env bash
# Builds the release package dist/ostrel-chat-VERSION-win64.zip: the two Windows programs, the
# notification sounds in src/ and a short README, ready to unzip and double-click.
#   scripts/package.sh [--skip-build]
set -euo pipefail
ostrel_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ostrel_root"

if [ "${1:-}" != "--skip-build" ]; then
    scripts/install-deps.sh
    cmake --preset windows >/dev/null
    cmake --build --preset windows --target ostrel-chat ostrel-server
fi

# The version, and the README that names it, as the Windows build's configuration made them.
version=$(cat build/windows/package/version.txt)
package="dist/ostrel-chat-$version-win64.zip"
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

mkdir -p "$stage/src"
cp build/windows/ostrel-chat.exe build/windows/ostrel-server.exe "$stage/"
cp resources/sounds/snd_newmessage.mp3 resources/sounds/snd_newuser.mp3 "$stage/src/"
# The README gets Windows line breaks, for Notepad.
sed -e 's/$/\r/' build/windows/package/README.txt > "$stage/README.txt"

mkdir -p dist
rm -f "$package"
(cd "$stage" && zip -q -X -r "$ostrel_root/$package" ostrel-chat.exe ostrel-server.exe src README.txt)
echo "$package"
