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
        mkdir -p "$WINEPREFIX"
        # One server for the whole suite, started first and with none of ctest's pipes: a
        # server (or a system process) that a test started would hold that test's output open
        # and keep ctest waiting for it.
        wineserver -p </dev/null >/dev/null 2>&1
        wineboot -i </dev/null >/dev/null 2>&1
        ;;
    run)
        # Through a file, for the same reason.
        output="$WINEPREFIX/run-$$.txt"
        status=0
        wine "$@" </dev/null >"$output" 2>&1 || status=$?
        cat "$output"
        rm -f "$output"
        exit $status
        ;;
    kill) wineserver -k || true ;;
esac
