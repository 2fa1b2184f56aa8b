#!/bin/sh
# The Wine suite's private prefix, headless and quiet:
#   wine-prefix.sh create PREFIX         a new prefix (any old one is removed first)
#   wine-prefix.sh run PREFIX PROGRAM..  runs a Windows program in it
#   wine-prefix.sh kill PREFIX           ends every process of that prefix (its wineserver)
set -e
action=$1
WINEPREFIX=$2
shift 2
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY
case $action in
    create)
        rm -rf "$WINEPREFIX"
        wineboot -i </dev/null
        ;;
    run) exec wine "$@" </dev/null ;;
    kill) wineserver -k || true ;;
esac
