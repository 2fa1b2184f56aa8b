#include "watch/probe.h"

#include "watch/ops.h"

#include <cstring>

WatchOps watchOps = {listProcessIds,      readImageBaseName, fileExists,
                     startScriptDetached, sleepMilliseconds, isProcessListed};

namespace {

// Reused from scan to scan, so a cycle allocates nothing once the list has reached its size.
std::vector<ProcessId> processIds;

// Where the worker was seen last. Confirmed first in the next scan, so a running worker costs
// one image lookup per cycle however many processes were started before it.
ProcessId lastWorkerId = 0;

}  // namespace

bool isProcessRunning(const std::string& expectedName, ProcessId processId) {
    char name[256] = "unknown";
    watchOps.readImageBaseName(processId, name, sizeof name);
    const std::size_t length = std::strlen(name);
    return length > 14 && length == expectedName.size() &&
           std::memcmp(name, expectedName.data(), length) == 0;
}

bool scanForWorker(const std::string& expectedName, bool& found) {
    // The remembered process counts only while it is still listed and still the worker: its
    // identifier may have been reused by another program. Asking the list about one process
    // spares reading the whole table every cycle while the worker runs.
    if (lastWorkerId != 0) {
        bool listed = false;
        if (!watchOps.isProcessListed(lastWorkerId, listed)) {
            return false;
        }
        if (listed && isProcessRunning(expectedName, lastWorkerId)) {
            found = true;
            return true;
        }
        lastWorkerId = 0;
    }
    if (!watchOps.listProcessIds(processIds)) {
        return false;
    }
    for (ProcessId id : processIds) {
        if (id == 0) {
            continue;
        }
        if (isProcessRunning(expectedName, id)) {
            found = true;
            lastWorkerId = id;
            return true;
        }
        found = false;
    }
    return true;
}
