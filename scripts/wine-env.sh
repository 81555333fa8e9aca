# Sourced by the scripts that run Windows programs: the project's own Wine prefix and settings.
# Defines ostrel_wine_prefix_ready, which creates the prefix on first use.

ostrel_root=${ostrel_root:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
export WINEPREFIX="${OSTREL_WINEPREFIX:-$ostrel_root/build/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko: nothing of ours needs them, and their install prompts would wait for a click.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
export ALSA_CONFIG_PATH="$ostrel_root/scripts/alsa-null.conf"

ostrel_wine_prefix_ready() {
    [ -f "$WINEPREFIX/.ostrel-ready" ] && return 0
    mkdir -p "$WINEPREFIX"
    (
        # One creator at a time; the others wait and then find the prefix ready.
        flock 9
        [ -f "$WINEPREFIX/.ostrel-ready" ] && exit 0
        wineboot -i >/dev/null 2>&1 </dev/null
        # A crashing program must end, not wait for someone to close Wine's crash dialog.
        wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
            >/dev/null 2>&1 </dev/null
        # Windows are not handed to a window manager: there is none on Xvfb, and Wine would
        # wait two seconds for one each time a window is hidden or destroyed.
        wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f \
            >/dev/null 2>&1 </dev/null
        wineserver -w
        touch "$WINEPREFIX/.ostrel-ready"
    ) 9>"$WINEPREFIX.lock"
}

# Whether Wine hands its windows to a window manager: Y on a real desktop, N on a virtual screen
# without one (where Wine would otherwise wait two seconds for it each time a window closes).
ostrel_wine_set_managed() {
    ostrel_wine_prefix_ready
    if ! grep -qx "\"Managed\"=\"$1\"" "$WINEPREFIX/user.reg" 2>/dev/null; then
        wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d "$1" /f \
            >/dev/null 2>&1 </dev/null
        wineserver -w
    fi
}

# Starts a wineserver that stays up, and warms it with the helpers' output sent elsewhere, so that
# many short Wine processes in a row start fast and do not leave helpers on their output pipes.
ostrel_wine_server_start() {
    ostrel_wine_prefix_ready
    wineserver -p >/dev/null 2>&1 </dev/null
    wine cmd /c echo ready >/dev/null 2>&1 </dev/null
}

ostrel_wine_server_stop() {
    wineserver -k >/dev/null 2>&1 || true
}
