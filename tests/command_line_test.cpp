// The command line: values taken, ignored or saturated, repeated options, missing values.
#include "app/command_line.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

CommandLineResult parse(std::vector<const char*> arguments, WatchSettings& settings) {
    arguments.insert(arguments.begin(), "zel-restarter");
    return parseCommandLine(static_cast<int>(arguments.size()), arguments.data(), settings);
}

}  // namespace

TEST(CommandLine, ValuesTakenIgnoredOrSaturated) {
    const struct {
        std::vector<const char*> arguments;  // after the program name
        const char* processName;
        const char* scriptPath;
        std::int64_t intervalSeconds;
    } cases[] = {
        {{}, "Quorvank-LT.exe", "start.bat", 10},
        {{"--instance", "3", "--instance", "0"}, "Quorvank-LT-3.exe", "start.bat", 10},
        {{"--instance", "3", "--instance", "7"}, "Quorvank-LT-7.exe", "start.bat", 10},
        {{"--instance", "abc", "--interval", "0"}, "Quorvank-LT.exe", "start.bat", 10},
        {{"--instance", "-1", "--interval", "-5"}, "Quorvank-LT.exe", "start.bat", 10},
        {{"--instance", " +12", "--interval", "25x"}, "Quorvank-LT-12.exe", "start.bat", 25},
        {{"--instance", "99999999999"}, "Quorvank-LT-2147483647.exe", "start.bat", 10},
        {{"--interval", "4294967296"}, "Quorvank-LT.exe", "start.bat", 2147483647},
        {{"--run", "a.sh"}, "Quorvank-LT.exe", "start.bat", 10},
        {{"--run", "b.cmd", "--run", "x"}, "Quorvank-LT.exe", "b.cmd", 10},
        {{"--Interval", "5", "--run", "-h"}, "Quorvank-LT.exe", "start.bat", 10},
        {{"--instance", "--run", "x", "--interval", "3"}, "Quorvank-LT.exe", "start.bat", 3},
        {{"--service", "--interval", "600"}, "Quorvank-LT.exe", "start.bat", 600},
    };
    for (const auto& c : cases) {
        WatchSettings settings;
        const std::string where = ::testing::PrintToString(c.arguments);
        EXPECT_EQ(parse(c.arguments, settings).action, CommandLineAction::Run) << where;
        EXPECT_EQ(settings.processName, c.processName) << where;
        EXPECT_EQ(settings.scriptPath, c.scriptPath) << where;
        EXPECT_EQ(settings.intervalSeconds, c.intervalSeconds) << where;
    }
}

// -h, or a missing value, stops the run; --run's message is covered end to end.
TEST(CommandLine, HelpOrMissingValueStopsTheRun) {
    WatchSettings settings;
    EXPECT_EQ(parse({"-h", "--instance"}, settings).action, CommandLineAction::ShowHelp);
    CommandLineResult result = parse({"--instance"}, settings);
    EXPECT_EQ(result.action, CommandLineAction::MissingValue);
    EXPECT_STREQ(result.message, "No value set for 'instance' parameter");
    result = parse({"--instance", "4", "--interval"}, settings);
    EXPECT_EQ(result.action, CommandLineAction::MissingValue);
    EXPECT_STREQ(result.message, "No value set for 'interval' parameter");
    result = parse({"--stop-timeout"}, settings);
    EXPECT_STREQ(result.message, "No value set for 'stop-timeout' parameter");
}
