# Sourced by scripts that show windows: gives them an X display, starting Xvfb when none is set
# (its screen OSTREL_SCREEN, 1600x1000x24 unless set).

ostrel_display_start() {
    ostrel_started_xvfb=""
    [ -n "${DISPLAY:-}" ] && return 0
    local n
    for n in $(seq 90 140); do
        [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] || break
    done
    Xvfb ":$n" -screen 0 "${OSTREL_SCREEN:-1600x1000x24}" -nolisten tcp >/dev/null 2>&1 </dev/null &
    ostrel_started_xvfb=$!
    export DISPLAY=":$n"
    local tries
    for tries in $(seq 1 100); do
        xdpyinfo >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    echo "Xvfb did not start on $DISPLAY" >&2
    return 1
}

ostrel_display_stop() {
    if [ -n "${ostrel_started_xvfb:-}" ]; then
        kill "$ostrel_started_xvfb" 2>/dev/null || true
        wait "$ostrel_started_xvfb" 2>/dev/null || true
        ostrel_started_xvfb=""
    fi
}
