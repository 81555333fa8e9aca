#!/usr/bin/env bash
# Runs Ostrel Chat: builds what is missing, starts the chat server on 127.0.0.1:6112 (unless
# something listens there already), and starts the chat program under Wine in build/run, which
# holds its settings file data.dat and its sounds in src/.
#
# With a display the window opens for you; close it to end. Without one, the program runs on a
# virtual screen: a demo peer joins as "Demo" and says a few lines, a screenshot is saved to
# build/run/screenshot.png, and the program is closed again.
#
#   scripts/run.sh [--update-screenshot]   the latter also copies it to docs/screenshot.png
#
# Everything this script starts, it stops, however it ends.
set -euo pipefail
ostrel_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ostrel_root"

update_screenshot=no
case "${1:-}" in
--update-screenshot) update_screenshot=yes ;;
"") ;;
*)
    echo "usage: scripts/run.sh [--update-screenshot]" >&2
    exit 2
    ;;
esac

scripts/install-deps.sh
cmake --preset native >/dev/null
cmake --build --preset native --target ostrel-server ostrel-peer
cmake --preset windows >/dev/null
cmake --build --preset windows --target ostrel-chat

source scripts/wine-env.sh
source scripts/display-env.sh

run_dir=build/run
mkdir -p "$run_dir/src"
cp resources/sounds/snd_newmessage.mp3 resources/sounds/snd_newuser.mp3 "$run_dir/src/"

server_pid=""
client_pid=""
peer_pid=""
headless=yes
cleanup() {
    if [ -n "$peer_pid" ]; then kill "$peer_pid" 2>/dev/null || true; fi
    if [ -n "$client_pid" ]; then kill "$client_pid" 2>/dev/null || true; fi
    if [ -n "$server_pid" ]; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    # Wine's own background processes go with the program's prefix server.
    if [ "$headless" = yes ]; then ostrel_wine_server_stop; fi
    ostrel_display_stop || true
}
trap cleanup EXIT

if ss -ltnH 'sport = :6112' | grep -qE '(127\.0\.0\.1|0\.0\.0\.0|\*|\[::\]):6112'; then
    echo "A server already listens on port 6112; using it."
else
    build/native/ostrel-server >"$run_dir/server.log" 2>&1 &
    server_pid=$!
    for _ in $(seq 1 50); do
        grep -q "listening on" "$run_dir/server.log" && break
        sleep 0.1
    done
    echo "Started ostrel-server on 127.0.0.1:6112 (log: $run_dir/server.log)."
fi

if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
    headless=no
fi

# A window manager decorates the window on a real display; on the virtual screen there is none.
ostrel_wine_set_managed "$([ "$headless" = yes ] && echo N || echo Y)"

if [ "$headless" = no ]; then
    echo "Starting Ostrel Chat on $DISPLAY. Close its window to end."
    (cd "$run_dir" && wine "$ostrel_root/build/windows/ostrel-chat.exe") || true
    exit 0
fi

# No display: show what it looks like instead.
ostrel_display_start
echo "No display: running on the virtual screen $DISPLAY with a demo peer."
(cd "$run_dir" && exec wine "$ostrel_root/build/windows/ostrel-chat.exe" >client.out 2>client.err </dev/null) &
client_pid=$!
window=""
for _ in $(seq 1 150); do
    window=$(xdotool search --name "Ostrel Chat Client" 2>/dev/null | head -n 1 || true)
    [ -n "$window" ] && break
    sleep 0.2
done
[ -n "$window" ] || { echo "The chat window did not appear; see $run_dir/client.out"; exit 1; }

# The demo peer joins and talks; meanwhile the user (played by xdotool) answers.
build/native/ostrel-peer --name Demo --pause 700 --stay 5000 \
    --say "Hi! Welcome to Ostrel Chat." \
    --say "Your own lines are blue, other people's green, and the server's red." >/dev/null &
peer_pid=$!
sleep 3
xdotool windowfocus --sync "$window" type --delay 20 "Hello Demo, nice to meet you!"
xdotool key Return
sleep 1.5
screenshot="$run_dir/screenshot.png"
import -window root -crop 1200x650+0+0 +repage "$screenshot"
if [ "$update_screenshot" = yes ]; then
    cp "$screenshot" docs/screenshot.png
    screenshot=docs/screenshot.png
fi
echo "Screenshot: $ostrel_root/$screenshot"
wait "$peer_pid" || echo "The demo peer could not finish."
peer_pid=""

xdotool windowfocus --sync "$window" key alt+F4
wait "$client_pid" || true
client_pid=""
echo "The program said:"
tr -d '\r' < "$run_dir/client.out"
