// The process probe: is the worker among the running processes?
#pragma once

#include "platform/platform.h"

#include <string>

// True when the process's image base name is longer than 14 characters and equal to
// expectedName byte for byte (letter case counts).
bool isProcessRunning(const std::string& expectedName, ProcessId processId);

// Takes the process list and looks for the worker; stops at the first match. found becomes
// true on a match and false when only other processes were seen; it keeps its value when the
// list holds no process at all. False when no process list could be taken (found untouched).
// The worker found is held open: while it runs under the same name, later scans ask it alone
// and do not take the process list.
bool scanForWorker(const std::string& expectedName, bool& found);
