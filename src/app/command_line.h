// The command line that sets the run's settings.
#pragma once

#include "watch/settings.h"

#include <cstdint>

// The worker's image base name; the command line cannot change it.
constexpr const char* workerBaseName = "Quorvank-LT";

enum class CommandLineAction { Run, ShowHelp, ShowVersion, MissingValue };

struct CommandLineResult {
    CommandLineAction action = CommandLineAction::Run;
    const char* message = nullptr;  // for MissingValue: printed as is, without a newline
    bool service = false;           // "--service" was among the skipped words read
};

// strtol in base 10 without an end pointer, saturated to the 32-bit range.
std::int32_t parseNumber(const char* text);

// Scans the arguments after the program name into settings and derives processName.
CommandLineResult parseCommandLine(int argc, const char* const argv[], WatchSettings& settings);
