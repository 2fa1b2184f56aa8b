#include "app/command_line.h"

#include "log/instance_name.h"

#include <cstdlib>
#include <cstring>

std::int32_t parseNumber(const char* text) {
    // Read as 64 bits on every system, then clamp, so that out-of-range values saturate alike.
    const long long value = std::strtoll(text, nullptr, 10);
    if (value > INT32_MAX) {
        return INT32_MAX;
    }
    if (value < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<std::int32_t>(value);
}

namespace {

enum class Option { Instance, Interval, Run, StopTimeout };

struct OptionInfo {
    const char* name;
    Option option;
    const char* missingValueMessage;
};

const OptionInfo options[] = {
    {"--instance", Option::Instance, "No value set for 'instance' parameter"},
    {"--interval", Option::Interval, "No value set for 'interval' parameter"},
    {"--run", Option::Run, "No value set for 'script' parameter"},
    {"--stop-timeout", Option::StopTimeout, "No value set for 'stop-timeout' parameter"},
};

const OptionInfo* findOption(const char* argument) {
    for (const OptionInfo& info : options) {
        if (std::strcmp(argument, info.name) == 0) {
            return &info;
        }
    }
    return nullptr;
}

}  // namespace

CommandLineResult parseCommandLine(int argc, const char* const argv[], WatchSettings& settings) {
    CommandLineResult result;
    for (int index = 1; index < argc; ++index) {
        const char* argument = argv[index];
        if (std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0) {
            result.action = CommandLineAction::ShowHelp;
            return result;
        }
        if (std::strcmp(argument, "--version") == 0) {
            result.action = CommandLineAction::ShowVersion;
            return result;
        }
        const OptionInfo* info = findOption(argument);
        if (info == nullptr) {
            // Unrecognised arguments are skipped; "--service" too, once noted for the entry point.
            result.service = result.service || std::strcmp(argument, "--service") == 0;
            continue;
        }
        // The next argument is the value, even when it looks like an option itself.
        if (++index >= argc) {
            result.action = CommandLineAction::MissingValue;
            result.message = info->missingValueMessage;
            return result;
        }
        const char* value = argv[index];
        if (info->option == Option::Run) {
            if (std::strlen(value) > scriptPathLengthLimit) {
                settings.scriptPath = value;
            }
        } else {
            const std::int32_t number = parseNumber(value);
            if (number > 0 && info->option == Option::Instance) {
                settings.instance = number;
            } else if (number > 0 && info->option == Option::Interval) {
                settings.intervalSeconds = number;
            } else if (number > 0) {
                settings.stopTimeoutSeconds = number;
            }
        }
    }
    settings.processName = instanceFileName(workerBaseName, settings.instance, ".exe");
    return result;
}
