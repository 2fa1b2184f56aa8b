// The process probe: is the worker among the running processes?
#pragma once

#include "platform/platform.h"

#include <string>

// Image names of this length or shorter are never taken for the worker.
constexpr std::size_t workerNameLengthLimit = 14;

// True when the process's image base name is longer than workerNameLengthLimit and equal to
// expectedName byte for byte (letter case counts).
bool isProcessRunning(const std::string& expectedName, ProcessId processId);

// Looks for the worker, stopping at the first match: found becomes true on a match, false when
// only other processes were seen, and keeps its value when none was. False when no process list
// could be taken. The worker found is held, and later scans ask it alone while it runs.
bool scanForWorker(const std::string& expectedName, bool& found);
