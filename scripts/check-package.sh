#!/usr/bin/env bash
# Checks the release package: builds it from the current Windows build, checks that it holds
# exactly what it should, unzips it and runs the unzipped programs under Wine once: the chat
# program must connect to the unzipped server, join, and end cleanly when the server stops.
# Whatever it starts, it stops, however it ends.
set -euo pipefail
ostrel_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ostrel_root"
source scripts/wine-env.sh

fail() {
    echo "FAIL: $*"
    exit 1
}

package=$(scripts/package.sh --skip-build) || fail "the package could not be built"
echo "package: $package"

expected=$(printf '%s\n' README.txt ostrel-chat.exe ostrel-server.exe src/ src/snd_newmessage.mp3 src/snd_newuser.mp3)
contents=$(unzip -Z1 "$package" | sort)
[ "$contents" = "$expected" ] || fail "the package holds:"$'\n'"$contents"

work=$(mktemp -d)
server_pid=""
client_pid=""
cleanup() {
    if [ -n "$client_pid" ]; then kill "$client_pid" 2>/dev/null || true; fi
    if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; fi
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
unzip -q "$package" -d "$work/unzipped" || fail "unzip"
cd "$work/unzipped"
grep -q $'\r$' README.txt || fail "README.txt should have Windows line breaks"

ostrel_wine_prefix_ready
# The Windows server has no TLS, and says so in one line with exit code 2.
status=0
wine ./ostrel-server.exe --tls-cert server.crt --tls-key server.key >"$work/tls.out" 2>"$work/tls.err" </dev/null || status=$?
[ "$status" -eq 2 ] || fail "TLS options: exit code $status, not 2"
grep -q "TLS is not available in the Windows build of the server" "$work/tls.err" ||
    fail "TLS options: $(cat "$work/tls.err")"
# Nor a room across servers through Redis.
status=0
wine ./ostrel-server.exe --redis redis://127.0.0.1 >"$work/redis.out" 2>"$work/redis.err" </dev/null || status=$?
[ "$status" -eq 2 ] || fail "--redis: exit code $status, not 2"
[ "$(tr -d '\r' <"$work/redis.err" | wc -l)" -eq 1 ] && grep -q "not available in the Windows build" "$work/redis.err" ||
    fail "--redis: $(cat "$work/redis.err")"
address=127.0.0.50
wine ./ostrel-server.exe --listen "$address" --port 6112 >"$work/server.log" 2>"$work/server.err" </dev/null &
server_pid=$!
for _ in $(seq 1 100); do
    grep -q "listening on" "$work/server.log" 2>/dev/null && break
    sleep 0.1
done
grep -q "listening on $address port 6112" "$work/server.log" || fail "the unzipped server did not start: $(cat "$work/server.err")"

printf 'server=%s\r\n' "$address" > data.dat
wine ./ostrel-chat.exe >"$work/client.out" 2>"$work/client.err" </dev/null &
client_pid=$!
for _ in $(seq 1 150); do
    grep -q "joined as User#" "$work/server.log" && break
    sleep 0.1
done
grep -q "joined as User#" "$work/server.log" || fail "the unzipped program did not join: $(cat "$work/client.out")"

kill "$server_pid"
wait "$server_pid" 2>/dev/null || true
server_pid=""
status=0
wait "$client_pid" || status=$?
client_pid=""
[ "$status" -eq 0 ] || fail "the program ended with exit code $status"
if grep -q "wine: Unhandled" "$work/client.err"; then fail "the program crashed"; fi
out=$(tr -d '\r' < "$work/client.out")
grep -q "^Successfully connected to server $address\.$" <<<"$out" || fail "no connection line: $out"
grep -q "^Lost connection. Reason: Main window closed$" <<<"$out" || fail "no closing line: $out"
grep -q "nickname=User#" data.dat || fail "data.dat got no nickname"
echo "the package holds what it should, and its programs run"
