// The command line: values, saturation, repeated and missing options.
#include "app/command_line.h"

#include <gtest/gtest.h>

#include <vector>

TEST(CommandLine, ValuesTakenOrIgnoredAndMissingValuesStopTheRun) {
    const struct {
        std::vector<const char*> arguments;  // after the program name
        const char* processName;
        const char* scriptPath;
        std::int64_t intervalSeconds;
        const char* missingValue;  // the message, when a value is missing
    } cases[] = {
        {{}, "Quorvank-LT.exe", "start.bat", 10, nullptr},
        {{"--instance", "3", "--instance", "0"}, "Quorvank-LT-3.exe", "start.bat", 10, nullptr},
        {{"--instance", "3", "--instance", "7"}, "Quorvank-LT-7.exe", "start.bat", 10, nullptr},
        {{"--instance", "abc", "--interval", "0"}, "Quorvank-LT.exe", "start.bat", 10, nullptr},
        {{"--instance", "-1", "--interval", "-5"}, "Quorvank-LT.exe", "start.bat", 10, nullptr},
        {{"--instance", " +12", "--interval", "25x"},
         "Quorvank-LT-12.exe",
         "start.bat",
         25,
         nullptr},
        {{"--instance", "99999999999", "--interval", "4294967296"},
         "Quorvank-LT-2147483647.exe",
         "start.bat",
         2147483647,
         nullptr},
        {{"--run", "a.sh"}, "Quorvank-LT.exe", "start.bat", 10, nullptr},
        {{"--run", "b.cmd", "--run", "x"}, "Quorvank-LT.exe", "b.cmd", 10, nullptr},
        {{"--Interval", "5", "--run", "-h"}, "Quorvank-LT.exe", "start.bat", 10, nullptr},
        {{"--instance", "--run", "x", "--interval", "3"},
         "Quorvank-LT.exe",
         "start.bat",
         3,
         nullptr},
        {{"--service", "--interval", "600"}, "Quorvank-LT.exe", "start.bat", 600, nullptr},
        {{"--instance"}, "", "", 0, "No value set for 'instance' parameter"},
        {{"--interval"}, "", "", 0, "No value set for 'interval' parameter"},
        {{"--instance", "4", "--run"}, "", "", 0, "No value set for 'script' parameter"},
    };
    for (const auto& c : cases) {
        std::vector<const char*> argv = {"zel-restarter"};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        WatchSettings settings;
        const CommandLineResult result =
            parseCommandLine(static_cast<int>(argv.size()), argv.data(), settings);
        const std::string where = ::testing::PrintToString(c.arguments);
        if (c.missingValue != nullptr) {
            EXPECT_EQ(result.action, CommandLineAction::MissingValue) << where;
            EXPECT_STREQ(result.message, c.missingValue) << where;
            continue;
        }
        EXPECT_EQ(result.action, CommandLineAction::Run) << where;
        EXPECT_EQ(settings.processName, c.processName) << where;
        EXPECT_EQ(settings.scriptPath, c.scriptPath) << where;
        EXPECT_EQ(settings.intervalSeconds, c.intervalSeconds) << where;
    }
}
