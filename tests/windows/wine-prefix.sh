#!/bin/sh
# The Wine scenarios' private prefix, headless and quiet:
#   wine-prefix.sh create PREFIX   a new prefix (any old one is removed first)
#   wine-prefix.sh kill PREFIX     ends every process of that prefix (its wineserver)
set -e
export WINEPREFIX="$2" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY
if [ "$1" = kill ]; then
    wineserver -k || true
    exit 0
fi
rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"
# One server for all scenarios, started first and with none of ctest's pipes: a server started
# by a scenario would hold that test's output open and keep ctest waiting for it.
wineserver -p </dev/null >/dev/null 2>&1
wineboot -i </dev/null >/dev/null 2>&1
