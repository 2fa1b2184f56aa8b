// The watch loop: scan, count misses, restart on the third, announce a sighting once, sleep.
#pragma once

#include "watch/settings.h"

#include <cstdint>

struct LoopState {
    bool found = false;
    std::int32_t missCount = 0;  // consecutive cycles without the worker: 0, 1 or 2
    bool announce = true;        // whether the next sighting is logged
};

// One cycle without the sleep. False when the watchdog must stop: the process list could not be
// taken, or the start script was gone when a restart was due.
bool runWatchCycle(const WatchSettings& settings, LoopState& state);

// Runs cycles, each followed by a sleep of the interval, until one says stop; then returns the
// exit status (1).
int runWatchLoop(const WatchSettings& settings);
