#!/usr/bin/env bash
# Installs every Debian package that building, running and testing Ostrel Chat needs.
# Idempotent: when everything is present it changes nothing and touches no network.
set -euo pipefail

packages=(
    cmake ninja-build g++ googletest               # host build and its tests
    g++-mingw-w64-x86-64-posix                     # Windows cross build
    wine wine64                                    # running the Windows programs
    gstreamer1.0-plugins-base gstreamer1.0-plugins-good  # Wine decodes MP3 sounds with them
    xvfb xdotool x11-utils imagemagick             # a screen for them, input, screenshots
    sox libsox-fmt-mp3 lame                        # making and checking the notification sounds
    zip unzip                                      # the release package
    clang-14 libclang-rt-14-dev libbenchmark-dev   # fuzzers and benchmarks
    libasio-dev                                    # the chat server's event loop (header-only)
    libssl-dev openssl                             # the server's TLS; test certificates
    iproute2 procps                                # ss, pkill and friends in the scripts
    redis-server libhiredis-dev                    # a room across servers, and its tests
    libsystemd-dev                                 # telling systemd how the server stands
    libcpp-httplib-dev prometheus curl jq          # the server's metrics; promtool checks them
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
"${sudo[@]}" apt-get update -q
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
