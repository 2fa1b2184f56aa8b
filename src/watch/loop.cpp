#include "watch/loop.h"

#include "log/log.h"
#include "watch/exit_status.h"
#include "watch/launcher.h"
#include "watch/ops.h"
#include "watch/probe.h"

#include <algorithm>
#include <ctime>
#include <string>

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
    if (!startScript(settings.scriptPath)) {
        return false;
    }
    ++state.starts;
    state.lastStart = currentTime();
    return true;
}

namespace {

// The status line after a cycle, in the log's words: "Quorvank-LT-2.exe is running; started 1
// time, last 2026-12-06 20:12:41", "... missed on 1 of 3 scans; ...", "... not running -
// starting ./start.sh; ...".
std::string serviceStatus(const WatchSettings& settings, const LoopState& state) {
    std::string status = settings.processName;
    if (state.found) {
        status += " is running";
    } else if (state.missCount > 0) {
        status += " missed on " + std::to_string(state.missCount) + " of " +
                  std::to_string(missesBeforeRestart) + " scans";
    } else {
        status += " not running - starting " + settings.scriptPath;
    }
    status +=
        "; started " + std::to_string(state.starts) + (state.starts == 1 ? " time" : " times");
    std::tm local{};
    char when[32];
    if (state.starts > 0 && toLocalTime(state.lastStart, local) &&
        std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &local) > 0) {
        status += ", last ";
        status += when;
    }
    // A newline would end the line early and start another field of the message.
    std::replace(status.begin(), status.end(), '\n', ' ');
    return status;
}

// One message after a cycle: ready after the first, the status when it changed, a keep-alive
// when they are asked for. lastStatus is the status told last, empty before the first cycle.
void tellServiceManager(const std::string& status, std::string& lastStatus, bool keepAlive) {
    std::string message;
    if (lastStatus.empty()) {
        message += "READY=1\n";
    }
    if (status != lastStatus) {
        message += "STATUS=" + status + "\n";
        lastStatus = status;
    }
    if (keepAlive) {
        message += "WATCHDOG=1\n";
    }
    if (!message.empty()) {
        message.pop_back();
        watchOps.notifyServiceManager(message.c_str());
    }
}

// Waits in parts of at most keepAlive milliseconds (at once when it is 0), with a keep-alive
// after each part: a watchdog stuck anywhere else sends none. True when a stop was requested.
bool waitKeepingAlive(std::uint64_t milliseconds, std::uint64_t keepAlive) {
    while (milliseconds > 0) {
        const std::uint64_t part =
            keepAlive > 0 && keepAlive < milliseconds ? keepAlive : milliseconds;
        if (watchOps.waitForStopRequest(part)) {
            return true;
        }
        milliseconds -= part;
        if (keepAlive > 0) {
            watchOps.notifyServiceManager("WATCHDOG=1");
        }
    }
    return false;
}

}  // namespace

int runWatchLoop(const WatchSettings& settings) {
    LoopState state;
    const std::uint64_t intervalMilliseconds =
        static_cast<std::uint64_t>(settings.intervalSeconds) * 1000;
    // Without a service manager no status is built: nothing is added to a cycle.
    const bool told = watchOps.serviceManagerListens();
    const std::uint64_t keepAlive = watchOps.keepAliveMilliseconds();
    std::string lastStatus;
    while (runWatchCycle(settings, state)) {
        retryLogFile();
        if (told) {
            tellServiceManager(serviceStatus(settings, state), lastStatus, keepAlive > 0);
        }
        if (waitKeepingAlive(intervalMilliseconds, keepAlive)) {
            return exitStopped;
        }
    }
    return exitFailure;
}
