// The run's settings: built once at start-up, read-only afterwards.
#pragma once

#include <cstdint>
#include <string>

struct WatchSettings {
    std::string processName;  // derived from instance, never given directly
    std::string scriptPath = "start.bat";
    std::int32_t instance = 0;
    std::int64_t intervalSeconds = 10;
};
