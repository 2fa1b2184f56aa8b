// The watch loop: scan, count misses, restart on the third, announce a sighting once, sleep.
#pragma once

#include "watch/settings.h"

#include <cstdint>

// The worker is started again on the third consecutive scan that misses it.
constexpr int missesBeforeRestart = 3;

struct LoopState {
    bool found = false;
    std::int32_t missCount = 0;  // consecutive cycles without the worker: 0, 1 or 2
    bool announce = true;        // whether the next sighting is logged
    std::int64_t starts = 0;     // script starts since the watchdog began
    std::int64_t lastStart = 0;  // calendar time of the latest one
};

// One cycle without the sleep. False when the watchdog must stop: the process list could not be
// taken, or the start script was gone when a restart was due.
bool runWatchCycle(const WatchSettings& settings, LoopState& state);

// Runs cycles, each followed by a wait of the interval, until one fails (exitFailure) or a stop
// is requested during the wait (exitStopped). Under systemd it tells it that the watchdog is
// ready after the first cycle, its status after every cycle that changes it, and, when asked
// for keep-alives, sends one after every cycle and at least every keep-alive period while it
// waits.
int runWatchLoop(const WatchSettings& settings);
