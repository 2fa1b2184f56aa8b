// The platform operations the watch code calls, reached through one table so that tests can put
// fakes in their place. Points at the real platform functions unless a test swaps them.
#pragma once

#include "platform/platform.h"

struct WatchOps {
    bool (*listProcessIds)(std::vector<ProcessId>& ids);
    bool (*readImageBaseName)(ProcessId processId, char* name, std::size_t size);
    HeldProcess (*holdProcess)(ProcessId processId, char* name, std::size_t size);
    bool (*readHeldImageBaseName)(HeldProcess process, char* name, std::size_t size);
    void (*releaseProcess)(HeldProcess process);
    bool (*fileExists)(const std::string& path);
    bool (*startScriptDetached)(const std::string& path);
    bool (*waitForStopRequest)(std::uint64_t milliseconds);
    // The service manager's: set here so that a table that leaves them out gets the real ones,
    // which do nothing unless systemd runs the program.
    void (*notifyServiceManager)(const char* message) = ::notifyServiceManager;
    bool (*serviceManagerListens)() = ::serviceManagerListens;
    std::uint64_t (*keepAliveMilliseconds)() = ::keepAliveMilliseconds;
};

extern WatchOps watchOps;
