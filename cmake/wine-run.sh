#!/bin/sh
# Runs a Windows program under Wine, for CTest (CMAKE_CROSSCOMPILING_EMULATOR) and by hand:
#   cmake/wine-run.sh program.exe [arguments...]
# The Wine prefix is WINEPREFIX, by default build-windows/wine-prefix beside this script's
# folder. The first call creates and boots the prefix once; every call keeps one wineserver
# running for 120 seconds past its last program, with Wine's own service processes started
# inside it, so that a program costs a few hundredths of a second, not seconds, and no service
# process holds the caller's pipes open. The exit status is the program's.
set -eu

wine=${KVR_WINE:-/usr/lib/wine/wine64}
wineserver=${KVR_WINESERVER:-/usr/lib/wine/wineserver}
here=$(cd "$(dirname "$0")" && pwd)
export WINEPREFIX="${WINEPREFIX:-$(dirname "$here")/build-windows/wine-prefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

start_server() {
    mkdir -p "$WINEPREFIX"
    # Status 0: a new server was started; 2: one already runs for the prefix.
    status=0
    "$wineserver" -p120 </dev/null >/dev/null 2>&1 9>&- || status=$?
    if [ "$status" -ne 0 ] && [ "$status" -ne 2 ]; then
        echo "wine-run.sh: $wineserver failed with status $status" >&2
        exit 125
    fi
    # A new server gets the prefix's service processes now, their output away from the caller.
    if [ "$status" -eq 0 ] || [ ! -f "$WINEPREFIX/.kvr-booted" ]; then
        "$wine" wineboot </dev/null >/dev/null 2>&1 9>&-
        touch "$WINEPREFIX/.kvr-booted"
    fi
}

# One caller at a time sets the prefix up: CTest runs two tests at once.
if command -v flock >/dev/null 2>&1; then
    mkdir -p "$WINEPREFIX"
    exec 9>"$WINEPREFIX.lock"
    flock 9
    start_server
    exec 9>&-
else
    start_server
fi
exec "$wine" "$@"
