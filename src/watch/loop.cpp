#include "watch/loop.h"

#include "log/log.h"
#include "watch/exit_status.h"
#include "watch/launcher.h"
#include "watch/ops.h"
#include "watch/probe.h"

bool runWatchCycle(const WatchSettings& settings, LoopState& state) {
    const char* name = settings.processName.c_str();
    if (!scanForWorker(settings.processName, state.found)) {
        logMessage("Could not get process list");
        return false;
    }
    if (state.found) {
        state.missCount = 0;
        if (state.announce) {
            logMessage("%s is running", name);
            state.announce = false;
        }
        return true;
    }
    if (state.missCount < missesBeforeRestart - 1) {
        ++state.missCount;
        return true;
    }
    logMessage("%s not running - starting %s", name, settings.scriptPath.c_str());
    state.missCount = 0;
    state.announce = true;
    return startScript(settings.scriptPath);
}

int runWatchLoop(const WatchSettings& settings) {
    LoopState state;
    const std::uint64_t intervalMilliseconds =
        static_cast<std::uint64_t>(settings.intervalSeconds) * 1000;
    while (runWatchCycle(settings, state)) {
        retryLogFile();
        if (watchOps.waitForStopRequest(intervalMilliseconds)) {
            return exitStopped;
        }
    }
    return exitFailure;
}
