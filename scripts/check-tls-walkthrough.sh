#!/usr/bin/env bash
# Runs the README's walk-through of encrypted connections as it stands, on the Linux build: the
# certificate, the server started with it (on a loopback address and a free port of its own
# rather than on every address), the pin from --tls-pin, which must be the one the log gives and
# the one openssl computes, and a TLS client that connects. Takes the build directory.
set -euo pipefail
build=$(cd "$1" && pwd)
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work=$(mktemp -d)
server=""
cleanup() {
    if [ -n "$server" ]; then kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "walk-through: $*" >&2; exit 1; }

# Its commands: the indented lines of the section that run openssl or the server.
mapfile -t commands < <(awk '/^## Encrypted connections/ { inside = 1; next }
    /^## / { inside = 0 }
    inside && /^ +(openssl|build\/native\/ostrel-server) / { sub(/^ +/, ""); print }' "$root/README.md")
[ ${#commands[@]} -eq 3 ] || fail "expected 3 commands in the README, found ${#commands[@]}"

mkdir -p "$work/build/native"
ln -s "$build/ostrel-server" "$work/build/native/ostrel-server"
cd "$work"

eval "${commands[0]}" 2>/dev/null || fail "the certificate command failed: ${commands[0]}"
[ -s server.crt ] && [ -s server.key ] || fail "no server.crt and server.key"

# exec: the background job is the server itself, so that $! is the process to stop.
eval "exec ${commands[1]/0.0.0.0/127.0.0.60} --port 0" >server.log 2>&1 &
server=$!
for _ in $(seq 1 100); do grep -q "tls-pin= is" server.log && break; sleep 0.05; done
logged=$(sed -n 's/.*tls-pin= is \([0-9a-f]*\).*/\1/p' server.log)
port=$(sed -n 's/.*port \([0-9]*\) for up to.*/\1/p' server.log)
[ -n "$logged" ] && [ -n "$port" ] || fail "the server did not start: $(cat server.log)"

printed=$(eval "${commands[2]}") || fail "--tls-pin failed"
computed=$(openssl x509 -pubkey -noout -in server.crt | openssl pkey -pubin -outform der |
    sha256sum | cut -d' ' -f1)
[ "$printed" = "$computed" ] || fail "--tls-pin printed $printed, openssl computes $computed"
[ "$logged" = "$computed" ] || fail "the log gives $logged, openssl computes $computed"

handshake=$(timeout 10 openssl s_client -connect "127.0.0.60:$port" -brief </dev/null 2>&1) ||
    true
grep -q "CONNECTION ESTABLISHED" <<<"$handshake" || fail "no TLS connection: $handshake"
echo "walk-through: certificate made, server started with it, pin $printed, TLS client connected"
