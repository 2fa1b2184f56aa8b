#include "watch/probe.h"

#include "watch/ops.h"

#include <cstring>

namespace {

// Reused from scan to scan, so a cycle allocates nothing once the list has reached its size.
std::vector<ProcessId> processIds;

// The worker that the last walk found, held open, and its image name as last read. While it runs
// under the watched name a cycle asks that process alone, however many others there are.
HeldProcess heldWorker = noHeldProcess;
char heldName[256];

bool isWorkerName(const char* name, const std::string& expectedName) {
    const std::size_t length = std::strlen(name);
    return length > workerNameLengthLimit && length == expectedName.size() &&
           std::memcmp(name, expectedName.data(), length) == 0;
}

void releaseWorker() {
    watchOps.releaseProcess(heldWorker);
    heldWorker = noHeldProcess;
}

// The walk read the name by identifier; by the time the process is opened that identifier may
// belong to another process, so the name is read again through the opened process itself.
void holdWorker(const std::string& expectedName, ProcessId processId) {
    std::strcpy(heldName, "unknown");
    heldWorker = watchOps.holdProcess(processId, heldName, sizeof heldName);
    if (heldWorker != noHeldProcess && !isWorkerName(heldName, expectedName)) {
        releaseWorker();
    }
}

}  // namespace

bool isProcessRunning(const std::string& expectedName, ProcessId processId) {
    char name[256] = "unknown";
    watchOps.readImageBaseName(processId, name, sizeof name);
    return isWorkerName(name, expectedName);
}

bool scanForWorker(const std::string& expectedName, bool& found) {
    // A held worker that still runs under the watched name gives the verdict a walk would give,
    // since a running process is always listed. Ended, a zombie or another image: it is let go
    // and the list is walked in this same cycle.
    if (heldWorker != noHeldProcess) {
        if (watchOps.readHeldImageBaseName(heldWorker, heldName, sizeof heldName) &&
            isWorkerName(heldName, expectedName)) {
            found = true;
            return true;
        }
        releaseWorker();
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
            holdWorker(expectedName, id);
            return true;
        }
        found = false;
    }
    return true;
}
