#!/usr/bin/env bash
# Runs every test of Ostrel Chat: installs what is missing, builds the host, sanitizer and Windows
# configurations, and runs the host tests natively, again under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the Windows tests under Wine (on Xvfb when no display is set).
# Exits non-zero when anything fails, naming what failed.
set -uo pipefail
ostrel_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ostrel_root"

failed=()
step() {
    local name=$1
    shift
    echo
    echo "==> $name"
    if ! "$@"; then
        echo "FAILED: $name"
        failed+=("$name")
        return 1
    fi
}

jobs=$(nproc)

# The programs the tests start; none may outlive the run.
started_programs='ostrel-(server|peer|chat)|redis-server|prometheus --config'
programs_running() { pgrep -f -- "$started_programs" | sort; }
programs_before=$(programs_running)

step "install packages" scripts/install-deps.sh || exit 1

build() { cmake --preset "$1" >/dev/null && cmake --build --preset "$1" -j "$jobs"; }

if step "build native" build native; then
    step "native tests" ctest --preset native -j "$jobs"
fi
if step "build native-asan" build native-asan; then
    step "sanitizer tests" ctest --preset native-asan -j "$jobs"
fi

step "fuzz targets, a fixed number of inputs each" scripts/fuzz.sh --runs 20000

source scripts/wine-env.sh
source scripts/display-env.sh
# An interrupted run leaves no display or Wine server behind.
trap 'ostrel_wine_server_stop; ostrel_display_stop' EXIT
windows_tests() {
    ostrel_display_start || return 1
    ostrel_wine_set_managed N
    ostrel_wine_server_start
    echo "Windows tests run under $(wine --version) on display $DISPLAY"
    ctest --preset windows -j "$jobs"
    local status=$?
    ostrel_wine_server_stop
    ostrel_display_stop
    return $status
}
if step "build windows" build windows; then
    step "windows tests under wine" windows_tests
fi

# Whatever a test left running is named, fails the run, and is stopped.
left_running() {
    local left
    left=$(comm -13 <(echo "$programs_before") <(programs_running) | grep -vx "$$" || true)
    [ -z "$left" ] && return 0
    for pid in $left; do
        echo "left running: $(ps -o args= -p "$pid" 2>/dev/null)"
        kill "$pid" 2>/dev/null
    done
    return 1
}
step "no program the tests started is left running" left_running

echo
if [ ${#failed[@]} -gt 0 ]; then
    echo "Test run FAILED in: ${failed[*]}"
    exit 1
fi
echo "All tests passed."
