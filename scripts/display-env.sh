# Sourced by scripts that show windows: gives them an X display, starting Xvfb when none is set
# (its screen OSTREL_SCREEN, 1600x1000x24 unless set). Xvfb chooses a free display number itself
# and tells it (-displayfd), so that several runs on one machine never take the same one.

ostrel_display_start() {
    ostrel_started_xvfb=""
    [ -n "${DISPLAY:-}" ] && return 0
    local numberFile
    numberFile=$(mktemp)
    Xvfb -displayfd 3 -screen 0 "${OSTREL_SCREEN:-1600x1000x24}" -nolisten tcp \
        3>"$numberFile" >/dev/null 2>&1 </dev/null &
    ostrel_started_xvfb=$!
    local tries number=""
    for tries in $(seq 1 100); do
        number=$(tr -dc '0-9' <"$numberFile")
        [ -n "$number" ] && break
        sleep 0.1
    done
    rm -f "$numberFile"
    if [ -z "$number" ]; then
        echo "Xvfb did not start" >&2
        ostrel_display_stop
        return 1
    fi
    export DISPLAY=":$number"
    for tries in $(seq 1 100); do
        xdpyinfo >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    echo "Xvfb did not answer on $DISPLAY" >&2
    ostrel_display_stop
    return 1
}

ostrel_display_stop() {
    if [ -n "${ostrel_started_xvfb:-}" ]; then
        kill "$ostrel_started_xvfb" 2>/dev/null || true
        wait "$ostrel_started_xvfb" 2>/dev/null || true
        ostrel_started_xvfb=""
        unset DISPLAY
    fi
}
