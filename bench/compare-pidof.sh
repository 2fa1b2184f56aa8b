#!/usr/bin/env bash
# Compares the watchdog's CPU time per scan cycle with that of one `pidof` call, on the live
# process table plus N extra sleeping processes (default 2048) that this script starts.
#
#   bench/compare-pidof.sh [N]
#
# Both are timed once a second, as they run in practice, in the same run on the same process
# table: pidof one call a second, like an operator's shell loop, timed by the shell (children's
# user + system time, milliseconds); the watchdog (build/zel-restarter, or $ZEL_BINARY) with
# --interval 1, first with the worker absent (a full walk every cycle, a start script every
# third), then with the worker running, started after the N processes so that a walk would reach
# it last. The watchdog's CPU time comes from /proc/<pid>/schedstat (nanoseconds), wake-ups
# included. The ratios are per cycle to per pidof call.
# With AS_USER=<user> (run as root), pidof and the watchdog run as that user, and the extra
# processes and the worker are root's: the cost of naming processes whose image that user may
# not read. Without it, everything runs as the caller.
# Every process started here is killed by PID on exit; the watched instance number is this
# script's PID, so no other watchdog or worker on the machine is involved.
set -euo pipefail

extra=${1:-2048}
root=$(cd "$(dirname "$0")/.." && pwd)
binary=${ZEL_BINARY:-$root/build/zel-restarter}
pidofCalls=${PIDOF_CALLS:-8}
absentRounds=${ABSENT_ROUNDS:-4}    # windows of 3 cycles with the worker absent
presentSeconds=${PRESENT_SECONDS:-10}

die() {
    echo "compare-pidof: $*" >&2
    exit 1
}
[[ $extra =~ ^[0-9]+$ ]] || die "usage: $0 [number of extra processes]"
[ -x "$binary" ] || die "no watchdog binary at $binary (build it first)"
command -v pidof >/dev/null || die "pidof not found (Debian: sysvinit-utils)"

instance=$$
worker=Quorvank-LT-$instance.exe
work=$(mktemp -d /tmp/zel-compare-XXXXXX)
runAs=()
if [ -n "${AS_USER:-}" ]; then
    [ "$(id -u)" = 0 ] || die "AS_USER needs root"
    runAs=(setpriv --reuid="$AS_USER" --regid="$(id -g "$AS_USER")" --clear-groups)
    chmod 777 "$work" # the watchdog writes its log there
fi
started=()

cleanup() {
    local pid
    for pid in "${started[@]}"; do
        kill -KILL "$pid" 2>/dev/null || true
    done
    for pid in "${started[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

countProcesses() {
    local entries=(/proc/[0-9]*)
    echo "${#entries[@]}"
}

# Room for the extra processes: under pid_max and the user's process limit, with a margin.
processes=$(countProcesses)
limit=$(cat /proc/sys/kernel/pid_max)
userLimit=$(ulimit -u)
if [ "$(id -u)" != 0 ] && [ "$userLimit" != unlimited ] && [ "$userLimit" -lt "$limit" ]; then
    limit=$userLimit
fi
[ $((processes + extra + 1024)) -le "$limit" ] ||
    die "$extra more processes do not fit (running: $processes, limit: $limit)"

# Sleepers end on their own after a while, should this script be killed before its cleanup.
for ((i = 0; i < extra; i++)); do
    sleep 900 &
    started+=($!)
done

# Nanoseconds of CPU time the process has used so far.
cpuNs() {
    local ns rest
    read -r ns rest <"/proc/$1/schedstat"
    echo "$ns"
}

# pidof, one call a second; the shell's `time` reports each call's CPU (user + system), timed
# inside a shell of the user it runs as.
pidofTotal=0
for ((i = 0; i <= pidofCalls; i++)); do
    sleep 1
    times=$("${runAs[@]}" bash -c 'TIMEFORMAT="%3U %3S"; { time pidof "$1" >/dev/null; } 2>&1' \
        bash "$worker") || true
    read -r user system <<<"$times"
    # The first call warms up the page cache for pidof itself and is not counted.
    if [ "$i" -gt 0 ]; then
        pidofTotal=$((pidofTotal + 10#${user/./} + 10#${system/./}))
    fi
done
pidofUs=$((pidofTotal * 1000 / pidofCalls))

printf '#!/bin/sh\nexit 0\n' >"$work/start.sh"
chmod +x "$work/start.sh"

startWatchdog() {
    : >"$work/out.txt"
    (cd "$work" && exec "${runAs[@]}" "$binary" --instance "$instance" --interval 1 --run ./start.sh >"$work/out.txt" 2>&1) &
    watchdog=$!
    started+=("$watchdog")
}

stopWatchdog() {
    kill -KILL "$watchdog"
    wait "$watchdog" 2>/dev/null || true
}

# Waits until the output holds the text count times, then lets the cycle finish.
waitFor() {
    local text=$1 count=$2 seen
    for ((tries = 0; tries < 600; tries++)); do
        seen=$(grep -c -F -- "$text" "$work/out.txt" || true)
        if [ "$seen" -ge "$count" ]; then
            sleep 0.3
            return 0
        fi
        kill -0 "$watchdog" 2>/dev/null || die "the watchdog ended: $(cat "$work/out.txt")"
        sleep 0.1
    done
    die "timed out waiting for '$text'"
}

# (a) Worker absent: every cycle is a full scan, and every third starts the script. Measured
# between two restart lines, so the window holds exactly 3 cycles per round.
startWatchdog
waitFor "not running - starting" 1
before=$(cpuNs "$watchdog")
waitFor "not running - starting" $((1 + absentRounds))
after=$(cpuNs "$watchdog")
absentNs=$(((after - before) / (3 * absentRounds)))
anonymousKb=$(awk '/^Anonymous:/ {print $2}' "/proc/$watchdog/smaps_rollup")
stopWatchdog

# (b) Worker running behind the extra processes. Every cycle ends in one sleep, the only time
# the watchdog gives up the processor on its own, so voluntary switches count the cycles.
cp "$(command -v sleep)" "$work/$worker"
"$work/$worker" 900 &
started+=($!)
startWatchdog
waitFor "$worker is running" 1
sleep 2 # the cycle of the sighting walks the list and holds the worker; later ones ask only it
switches() {
    awk '/^voluntary_ctxt_switches/ {print $2}' "/proc/$watchdog/status"
}
before=$(cpuNs "$watchdog")
beforeCycles=$(switches)
sleep "$presentSeconds"
after=$(cpuNs "$watchdog")
cycles=$(($(switches) - beforeCycles))
[ "$cycles" -gt 0 ] || die "the watchdog did not cycle"
presentNs=$(((after - before) / cycles))
stopWatchdog

ratio() {
    awk -v a="$1" -v b="$2" 'BEGIN { printf "%.4f", a / b }'
}
total=$(countProcesses)
echo "processes: $total ($extra started here), $(nproc) cores, kernel $(uname -r)," \
    "pidof and watchdog as $(id -un ${AS_USER:+"$AS_USER"})"
printf 'pidof, one call:                     %8d us CPU (mean of %d)\n' "$pidofUs" "$pidofCalls"
printf 'watchdog cycle, worker absent:       %8d us CPU (%d cycles)   ratio %s\n' \
    $((absentNs / 1000)) $((3 * absentRounds)) "$(ratio "$absentNs" $((pidofUs * 1000)))"
printf 'watchdog cycle, worker running last: %8d us CPU (%d cycles)   ratio %s\n' \
    $((presentNs / 1000)) "$cycles" "$(ratio "$presentNs" $((pidofUs * 1000)))"
printf 'watchdog private anonymous memory:   %8d KiB\n' "$anonymousKb"
