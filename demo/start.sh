#!/bin/sh
# Starts the stand-in worker beside this script in the background, notes its PID in worker.pid
# and returns; the worker goes on running on its own.
cd "$(dirname "$0")" || exit 1
./Quorvank-LT.exe </dev/null >/dev/null 2>&1 &
echo $! >worker.pid
