#!/usr/bin/env bash
# Checks what `cmake --install` puts in place for the chat server: the program, which runs, and
# its systemd unit, which starts that very program. Takes the build directory.
set -euo pipefail
build=$1
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

DESTDIR="$root" cmake --install "$build" --prefix /opt/ostrel >/dev/null
server="$root/opt/ostrel/bin/ostrel-server"
unit="$root/opt/ostrel/lib/systemd/system/ostrel-server.service"
"$server" --help | grep -q '^Usage: ostrel-server' || { echo "the installed server does not run"; exit 1; }
grep -qx 'ExecStart=/opt/ostrel/bin/ostrel-server --listen 0.0.0.0 --port 6112 --control /run/ostrel-server/control --ban-file /var/lib/ostrel-server/bans' "$unit" ||
    { echo "the unit does not start the installed server:"; cat "$unit"; exit 1; }
grep -qx 'WantedBy=multi-user.target' "$unit" || { echo "the unit cannot be enabled"; exit 1; }
# The server tells systemd how it stands, and reloads on SIGHUP rather than stopping.
grep -qx 'Type=notify' "$unit" && grep -qx 'ExecReload=/bin/kill -HUP $MAINPID' "$unit" &&
    grep -qx 'WatchdogSec=30' "$unit" ||
    { echo "the unit does not let the server tell systemd how it stands, or reload"; exit 1; }
# `--command` finds the socket where the unit puts it.
"$server" --help | grep -q '(default /run/ostrel-server/control)' ||
    { echo "--command looks for the control socket elsewhere than the unit puts it"; exit 1; }
grep -qx 'RuntimeDirectory=ostrel-server' "$unit" && grep -qx 'StateDirectory=ostrel-server' "$unit" ||
    { echo "the unit gives the control socket and the ban file no place"; exit 1; }
installed=$(cd "$root" && find . -type f | sort)
[ "$installed" = "$(printf '%s\n' ./opt/ostrel/bin/ostrel-server ./opt/ostrel/lib/systemd/system/ostrel-server.service)" ] ||
    { echo "unexpected files installed:"; echo "$installed"; exit 1; }
echo "installed: ostrel-server and its systemd unit"
