#!/usr/bin/env bash
# Runs a Windows program under Wine in a throw-away prefix that belongs to one build folder.
# Used by ctest as the cross-compiling emulator; `wine-run.sh --warm` prepares the prefix and
# starts a persistent wineserver, `wine-run.sh --stop` ends it.
set -euo pipefail

root=${VELMORA_WINE_ROOT:-${CMAKE_BINARY_DIR:-$PWD}}
# ctest runs tests from their build folder; climb to the folder that holds CMakeCache.txt.
while [ ! -f "$root/CMakeCache.txt" ] && [ "$root" != / ]; do root=$(dirname "$root"); done
[ -f "$root/CMakeCache.txt" ] || { echo "wine-run: no build folder above $PWD" >&2; exit 2; }

export WINEPREFIX="$root/wineprefix"
export HOME="$root/winehome"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
mkdir -p "$HOME"

prepare() {
    # One prefix creation at a time: parallel tests would otherwise race to build it.
    exec 9>"$root/wineprefix.lock"
    flock 9
    if [ ! -f "$WINEPREFIX/.velmora-ready" ]; then
        wineboot -i >/dev/null 2>&1 || true
        wineserver -w
        touch "$WINEPREFIX/.velmora-ready"
    fi
    flock -u 9
}

case "${1:-}" in
--warm)
    prepare
    wineserver -p
    wine cmd /c exit >/dev/null 2>&1 || true
    ;;
--stop)
    wineserver -k 2>/dev/null || true
    ;;
*)
    prepare
    exec wine "$@"
    ;;
esac
