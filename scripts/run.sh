#!/usr/bin/env bash
# Runs Ostrel Chat: builds the Windows program and starts it under Wine, in build/windows, where
# its sounds (src/) and its settings file (data.dat) are. It connects to the server named in
# data.dat ("server=..."), 127.0.0.1 by default, on port 6112; a chat server must be running there.
set -euo pipefail
ostrel_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ostrel_root"
scripts/install-deps.sh
cmake --preset windows >/dev/null
cmake --build --preset windows --target ostrel-chat
source scripts/wine-env.sh
source scripts/display-env.sh
ostrel_display_start
ostrel_wine_prefix_ready
cd build/windows
wine ./ostrel-chat.exe
