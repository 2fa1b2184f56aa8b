// The run's settings: built once at start-up, read-only afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// A script path counts only when it is longer than this; shorter ones are never looked up.
constexpr std::size_t scriptPathLengthLimit = 4;

struct WatchSettings {
    std::string processName;  // derived from instance, never given directly
    std::string scriptPath = "start.bat";
    std::int32_t instance = 0;
    std::int64_t intervalSeconds = 10;
    // As a container's first process: how long the other processes are given to end after a
    // stop was passed on to them. Container engines send SIGKILL 10 s after their stop signal.
    std::int64_t stopTimeoutSeconds = 8;
};
